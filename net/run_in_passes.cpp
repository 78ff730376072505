#include "net/run_in_passes.h"

#include <thread>

namespace net {

void RunInPasses(asio::io_context& io, std::chrono::microseconds linger) {
    if (linger <= std::chrono::microseconds::zero()) {
        io.run();
        return;
    }
    for (;;) {
        // Blocks in the reactor until the first handler is ready.
        if (io.run_one() == 0) {
            return;
        }
        const auto passStarted = std::chrono::steady_clock::now();
        // Whatever this first handler left ready (more of the same socket's
        // bytes, say) is taken before lingering: only what still has to
        // arrive is waited for.
        io.poll();
        if (io.stopped()) {
            return;
        }
        std::this_thread::sleep_until(passStarted + linger);
        io.poll();
        if (io.stopped()) {
            return;
        }
    }
}

}  // namespace net
