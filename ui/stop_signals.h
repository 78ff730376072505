#pragma once
// SIGINT and SIGTERM ask a program to close, as the close box would. Both
// hosts wait for them the same way: the signals are blocked in every thread
// (threads inherit the mask of the thread that made them) and one thread of
// our own takes them with sigwait, so no handler ever runs inside other code.

#include <csignal>
#include <functional>
#include <thread>

namespace ui {

// Blocks SIGINT, SIGTERM and the watcher's own SIGUSR1 in the calling
// thread. Call it before any other thread starts (Qt starts some of its own).
void BlockStopSignals();

// Calls onSignal(SIGINT or SIGTERM) on its own thread for each stop signal
// until it is destroyed. Blocks the signals itself as well.
class StopSignalWatcher {
public:
    explicit StopSignalWatcher(std::function<void(int signal)> onSignal);
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

private:
    void Watch();

    std::function<void(int)> onSignal_;
    std::thread thread_;
};

}  // namespace ui
