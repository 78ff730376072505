#include "ui/stop_signals.h"

#include <pthread.h>

#include <utility>

namespace ui {

namespace {

// SIGUSR1 is sent by the watcher's destructor to end the wait.
sigset_t StopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}

}  // namespace

void BlockStopSignals() {
    const sigset_t set = StopSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignalWatcher::StopSignalWatcher(std::function<void(int signal)> onSignal)
    : onSignal_(std::move(onSignal)) {
    BlockStopSignals();
    thread_ = std::thread([this] { Watch(); });
}

StopSignalWatcher::~StopSignalWatcher() {
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
}

void StopSignalWatcher::Watch() {
    const sigset_t set = StopSignalSet();
    int signal = 0;
    while (sigwait(&set, &signal) == 0) {
        if (signal == SIGUSR1) {
            return;
        }
        onSignal_(signal);
    }
}

}  // namespace ui
