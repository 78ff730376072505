#pragma once
// An io_context run on a thread of its own, for tests that drive asio parts
// from the test's thread: the parts are built on context() before start(),
// and whatever touches them afterwards goes through call(), so nothing is
// shared between the two threads without the io_context's ordering.

#include <asio.hpp>
#include <future>
#include <thread>
#include <utility>

namespace testsim {

class IoThread {
public:
    IoThread() = default;
    ~IoThread() { stop(); }
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    asio::io_context& context() { return io_; }

    void start() {
        thread_ = std::thread([this] { io_.run(); });
    }
    bool running() const { return thread_.joinable(); }

    // Runs f on the io thread and returns its result once it is done there.
    template <class F>
    auto call(F f) {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        asio::post(io_, [&task] { task(); });
        return result.get();
    }

    // Stops the loop and joins the thread; a no-op when it never started.
    void stop() {
        if (!thread_.joinable()) {
            return;
        }
        work_.reset();
        io_.stop();
        thread_.join();
    }

private:
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
    std::thread thread_;
};

}  // namespace testsim
