#pragma once
// Watches the service's status second by second on the window thread and
// says what changed: one log line when the login succeeds or is refused,
// when the center cannot be reached, when the database is lost and when it
// is back; the whole status line every few minutes; a warning once. It also
// keeps the line systemd and SIGUSR1 show up to date.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "app/service_status.h"

namespace app {

inline constexpr std::chrono::seconds kDefaultStatusInterval{300};

// EventServer_StatusInterval: seconds between status lines in the log; empty
// gives the default, 0 turns them off. Text that is no number keeps the
// default and sets `warning`.
std::chrono::seconds ParseStatusInterval(std::string_view text, std::string& warning);

class ServiceMonitor {
public:
    using LogSink = std::function<void(const std::string& line)>;
    using RefusedAction = std::function<void(const std::string& reason)>;

    void SetLog(LogSink log) { log_ = std::move(log); }
    void SetStatusInterval(std::chrono::seconds interval) { interval_ = interval; }
    // Called once per start when the center refuses the login for good.
    void SetOnRefused(RefusedAction action) { onRefused_ = std::move(action); }

    // At each start and stop: what was seen before does not carry over.
    void Reset();
    // Takes the status of this second; gives its line.
    std::string Update(const ServiceStatus& status, std::chrono::steady_clock::time_point now);
    const std::string& Line() const { return line_; }

private:
    void Log(const std::string& line) const;

    LogSink log_;
    RefusedAction onRefused_;
    std::chrono::seconds interval_ = kDefaultStatusInterval;

    bool seen_ = false;
    bool started_ = false;
    int centerState_ = 0;
    std::int64_t databaseDownSince_ = 0;
    std::uint64_t waitedMost_ = 0;
    std::string warning_;
    std::chrono::steady_clock::time_point nextStatusLine_{};
    std::string line_;
};

}  // namespace app
