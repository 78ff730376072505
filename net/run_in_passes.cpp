#include "net/run_in_passes.h"

#include <thread>

namespace net {

void RunInPasses(asio::io_context& io, std::chrono::microseconds linger) {
    if (linger <= std::chrono::microseconds::zero()) {
        io.run();
        return;
    }
    using Clock = std::chrono::steady_clock;
    // The last pass's handling took a linger or more: work keeps coming,
    // and piles up by itself while it is handled.
    bool busy = false;
    for (;;) {
        // Blocks in the reactor until the first handler is ready.
        if (io.run_one() == 0) {
            return;
        }
        if (io.stopped()) {
            return;
        }
        // What the first handler queued for the end of the pass (the
        // journal writer's wake-up, say) runs once, after the linger, with
        // everything that arrived meanwhile.
        if (!busy) {
            std::this_thread::sleep_for(linger);
        }
        const auto handling = Clock::now();
        io.poll();
        if (io.stopped()) {
            return;
        }
        busy = Clock::now() - handling >= linger;
    }
}

}  // namespace net
