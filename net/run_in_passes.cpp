#include "net/run_in_passes.h"

#include <thread>

namespace net {

void PassEnd::run() {
    while (!tasks_.empty()) {
        std::vector<std::function<void()>> now;
        now.swap(tasks_);
        for (auto& task : now) {
            task();
        }
    }
}

void RunInPasses(asio::io_context& io, std::chrono::microseconds linger, PassEnd* end) {
    const bool lingers = linger > std::chrono::microseconds::zero();
    if (!lingers && end == nullptr) {
        io.run();
        return;
    }
    using Clock = std::chrono::steady_clock;
    // The last pass's handling took a linger or more: work keeps coming,
    // and piles up by itself while it is handled.
    bool busy = false;
    for (;;) {
        // Blocks in the reactor until the first handler is ready.
        const bool ran = io.run_one() != 0;
        const bool going = ran && !io.stopped();
        if (going && lingers && !busy) {
            std::this_thread::sleep_for(linger);
        }
        const auto handling = Clock::now();
        if (going) {
            io.poll();
        }
        // Also when the pass's work was the last: what it deferred is due.
        if (end != nullptr) {
            end->run();
        }
        if (!ran || io.stopped()) {
            return;
        }
        busy = Clock::now() - handling >= linger;
    }
}

}  // namespace net
