#include "app/service_monitor.h"

#include <algorithm>
#include <charconv>

#include "app/systemd_notify.h"
#include "vardoappcore/api/vardo_app_core.h"

namespace app {

std::chrono::seconds ParseStatusInterval(std::string_view text, std::string& warning) {
    if (text.empty()) {
        return kDefaultStatusInterval;
    }
    std::uint32_t seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size()) {
        warning = "EventServer_StatusInterval '" + std::string(text) +
                  "' is no number of seconds; a status line every " +
                  std::to_string(kDefaultStatusInterval.count()) + " s";
        return kDefaultStatusInterval;
    }
    return std::chrono::seconds(seconds);
}

void ServiceMonitor::Reset() {
    seen_ = false;
    centerState_ = CENTER_IDLE;
    databaseDownSince_ = 0;
    waitedMost_ = 0;
}

void ServiceMonitor::Log(const std::string& line) const {
    if (log_) {
        log_(line);
    }
}

std::string ServiceMonitor::Update(const ServiceStatus& status,
                                   std::chrono::steady_clock::time_point now) {
    if (!seen_ || status.started != started_) {
        seen_ = true;
        started_ = status.started;
        centerState_ = CENTER_IDLE;
        databaseDownSince_ = 0;
        waitedMost_ = 0;
        nextStatusLine_ = now + interval_;
    }
    // Published first: whoever reads a line logged below finds the status
    // that line speaks of.
    line_ = StatusLine(status);
    PublishStatusLine(line_);
    NotifyStatus(line_);

    if (status.started && status.centerState != centerState_) {
        switch (status.centerState) {
            case CENTER_LOGGED_IN:
                Log("logged in to the center server as " + status.user);
                break;
            case CENTER_RETRYING:
                Log("center server unreachable: " + OneLine(status.centerReason) +
                    "; trying again");
                break;
            case CENTER_REFUSED:
                Log("the center server refused the login: " + OneLine(status.centerReason));
                if (onRefused_) {
                    onRefused_(OneLine(status.centerReason));
                }
                break;
            default:
                break;
        }
        centerState_ = status.centerState;
    }

    if (status.started) {
        if (status.databaseDownSince != 0 && databaseDownSince_ == 0) {
            Log("database unreachable since " + LocalTimeText(status.databaseDownSince) + "; " +
                std::to_string(status.waiting) + " statements waiting");
        } else if (status.databaseDownSince == 0 && databaseDownSince_ != 0) {
            Log("database back; " + std::to_string(std::max(waitedMost_, status.waiting)) +
                " statements waited");
            waitedMost_ = 0;
        }
        if (status.databaseDownSince != 0) {
            waitedMost_ = std::max(waitedMost_, status.waiting);
        }
        databaseDownSince_ = status.databaseDownSince;
    }

    if (status.warning != warning_) {
        if (!status.warning.empty()) {
            Log("warning: " + status.warning);
        }
        warning_ = status.warning;
    }

    if (status.started && interval_.count() > 0 && now >= nextStatusLine_) {
        Log("status: " + line_);
        nextStatusLine_ = now + interval_;
    }
    NotifyWatchdog();
    return line_;
}

}  // namespace app
