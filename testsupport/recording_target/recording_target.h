#pragma once
// A window stand-in for the device library's tests: it records what the
// library posts, and the test thread plays the window thread by taking the
// messages in order.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vardoappcore/api/win_types.h"

namespace testlib {

struct Posted {
    UINT message = 0;
    WPARAM kind = 0;
    LPARAM device = 0;
};

class RecordingTarget : public vardo::MessageTarget {
public:
    void PostMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        const std::lock_guard lock(mutex_);
        queue_.push_back({message, wParam, lParam});
        cv_.notify_all();
    }

    // The next posted message; nothing when none came within `limit`.
    std::optional<Posted> next(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, limit, [this] { return !queue_.empty(); })) {
            return std::nullopt;
        }
        Posted p = queue_.front();
        queue_.pop_front();
        return p;
    }

    std::size_t waiting() {
        const std::lock_guard lock(mutex_);
        return queue_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Posted> queue_;
};

// Collects the library's log lines.
class LogCapture {
public:
    void add(std::string_view line) {
        const std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
        cv_.notify_all();
    }

    int count(const std::string& needle) {
        const std::lock_guard lock(mutex_);
        return countLocked(needle);
    }

    bool waitFor(const std::string& needle, int times = 1,
                 std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return countLocked(needle) >= times; });
    }

    std::vector<std::string> lines() {
        const std::lock_guard lock(mutex_);
        return lines_;
    }

    std::string all() {
        const std::lock_guard lock(mutex_);
        std::string text;
        for (const auto& l : lines_) {
            text += l + "\n";
        }
        return text;
    }

private:
    int countLocked(const std::string& needle) const {
        int n = 0;
        for (const auto& l : lines_) {
            n += l.find(needle) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

}  // namespace testlib
