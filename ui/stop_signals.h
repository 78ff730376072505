#pragma once
// The signals an operator or systemd sends a running program: SIGINT,
// SIGTERM and SIGHUP ask it to close, as the close box would; SIGUSR1 asks
// for its status line. Both hosts wait for them the same way: the signals are
// blocked in every thread (threads inherit the mask of the thread that made
// them) and one thread of our own reads them from a signalfd, so no handler
// ever runs inside other code. The watcher is woken for its end through an
// eventfd of its own, never through a signal, so that no signal from outside
// can end the watch and leave the program deaf to the next SIGTERM.

#include <csignal>
#include <functional>
#include <thread>

namespace ui {

// Blocks the watched signals in the calling thread. Call it before any other
// thread starts (Qt starts some of its own).
void BlockStopSignals();

// Calls onSignal(SIGINT, SIGTERM, SIGHUP or SIGUSR1) on its own thread for
// each signal received, until it is destroyed. Blocks the signals itself as
// well.
class StopSignalWatcher {
public:
    explicit StopSignalWatcher(std::function<void(int signal)> onSignal);
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

    // Whether the signals could be watched; false (and nothing watched)
    // when the kernel refused the descriptors.
    bool Watching() const { return thread_.joinable(); }

private:
    void Watch();

    std::function<void(int)> onSignal_;
    int signalFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
};

// The closing signals, as a word for a log line ("SIGTERM").
const char* SignalName(int signal);

}  // namespace ui
