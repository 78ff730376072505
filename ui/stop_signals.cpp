#include "ui/stop_signals.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace ui {

namespace {

sigset_t WatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1);
    return set;
}

}  // namespace

void BlockStopSignals() {
    const sigset_t set = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGUSR1:
            return "SIGUSR1";
        default:
            return "a signal";
    }
}

StopSignalWatcher::StopSignalWatcher(std::function<void(int signal)> onSignal)
    : onSignal_(std::move(onSignal)) {
    BlockStopSignals();
    const sigset_t set = WatchedSignals();
    signalFd_ = signalfd(-1, &set, SFD_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_CLOEXEC);
    if (signalFd_ < 0 || wakeFd_ < 0) {
        return;  // Watching() says so; the signals stay blocked
    }
    thread_ = std::thread([this] { Watch(); });
}

StopSignalWatcher::~StopSignalWatcher() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        while (write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    if (signalFd_ >= 0) {
        close(signalFd_);
    }
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
}

void StopSignalWatcher::Watch() {
    pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        signalfd_siginfo info{};
        const ssize_t n = read(signalFd_, &info, sizeof info);
        if (n == static_cast<ssize_t>(sizeof info)) {
            onSignal_(static_cast<int>(info.ssi_signo));
        }
    }
}

}  // namespace ui
