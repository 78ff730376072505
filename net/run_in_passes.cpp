#include "net/run_in_passes.h"

#include <asio/execution_context.hpp>
#include <asio/post.hpp>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

namespace net {
namespace {

// What waits for the end of the current pass, one list per context.
class PassEnd final : public asio::execution_context::service {
public:
    using key_type = PassEnd;
    static inline asio::execution_context::id id;

    explicit PassEnd(asio::execution_context& context) : service(context) {}

    // Runs what is waiting, and what that adds, in order. Should a piece of
    // work throw, what follows it stays for the next pass.
    void run() {
        for (std::size_t i = 0; i < everyPass_.size();) {
            if (everyPass_[i]()) {
                ++i;
            } else {
                everyPass_.erase(everyPass_.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        while (!work_.empty()) {
            std::vector<std::function<void()>> now;
            now.swap(work_);
            for (std::size_t i = 0; i < now.size(); ++i) {
                try {
                    now[i]();
                } catch (...) {
                    work_.insert(work_.begin(), std::make_move_iterator(now.begin() + i + 1),
                                 std::make_move_iterator(now.end()));
                    throw;
                }
            }
        }
    }

    std::vector<std::function<void()>> work_;
    std::vector<std::function<bool()>> everyPass_;
    bool inPasses_ = false;

private:
    void shutdown() override {
        work_.clear();
        everyPass_.clear();
    }
};

// While RunInPasses runs the context.
class PassesRunning {
public:
    explicit PassesRunning(PassEnd& end) : end_(end) { end_.inPasses_ = true; }
    ~PassesRunning() { end_.inPasses_ = false; }
    PassesRunning(const PassesRunning&) = delete;
    PassesRunning& operator=(const PassesRunning&) = delete;

private:
    PassEnd& end_;
};

}  // namespace

void AtEndOfPass(const asio::any_io_executor& executor, std::function<void()> work) {
    PassEnd& end = asio::use_service<PassEnd>(asio::query(executor, asio::execution::context));
    if (end.inPasses_) {
        end.work_.push_back(std::move(work));
    } else {
        asio::post(executor, std::move(work));
    }
}

void AtEveryPassEnd(asio::io_context& io, std::function<bool()> work) {
    asio::use_service<PassEnd>(io).everyPass_.push_back(std::move(work));
}

bool InPasses(const asio::any_io_executor& executor) {
    return asio::use_service<PassEnd>(asio::query(executor, asio::execution::context)).inPasses_;
}

void RunInPasses(asio::io_context& io, std::chrono::microseconds linger) {
    if (linger <= std::chrono::microseconds::zero()) {
        io.run();
        return;
    }
    RunInPasses(io, [linger] { return linger; });
}

void RunInPasses(asio::io_context& io,
                 const std::function<std::chrono::microseconds()>& lingerNow) {
    using Clock = std::chrono::steady_clock;
    PassEnd& end = asio::use_service<PassEnd>(io);
    const PassesRunning running(end);
    // The last pass's handling took a linger or more: work keeps coming,
    // and piles up by itself while it is handled.
    bool busy = false;
    // The last pass handled something: more is on its way (a stream of
    // media, a fleet's reports), so the next pass sleeps its linger and
    // takes what came without blocking in the reactor first. One wake-up a
    // pass rather than two; a pass that finds nothing ends the streak.
    bool streak = false;
    for (;;) {
        if (!streak) {
            // Blocks in the reactor until the first handler is ready.
            if (io.run_one() == 0) {
                return;
            }
            if (io.stopped()) {
                end.run();
                return;
            }
        }
        // What the first handler queued for the end of the pass (the
        // journal writer's wake-up, say) runs once, after the linger, with
        // everything that arrived meanwhile.
        const std::chrono::microseconds linger = lingerNow();
        if (!busy) {
            std::this_thread::sleep_for(linger);
        }
        const auto handling = Clock::now();
        const std::size_t handled = io.poll();
        end.run();
        if (io.stopped()) {
            return;
        }
        busy = Clock::now() - handling >= linger;
        streak = handled > 0;
    }
}

}  // namespace net
