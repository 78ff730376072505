#pragma once
// Turns what authenticated terminals report into the device events of the
// center protocol: a login is `online`, every location report one `gps`
// (with an RMC sentence), a rising alarm bit an `alarm`, a disconnect
// `offline`. The device of a terminal is named by its phone digits as sent.
//
// Thread: the center's io thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

#include "center/alarm_table.h"
#include "center/recent_fixes.h"
#include "centerlink/event_server_hub.h"
#include "jt808/location.h"

namespace center {

class DeviceFeed {
public:
    using Clock = std::function<std::chrono::system_clock::time_point()>;
    using Log = std::function<void(const std::string&)>;

    DeviceFeed(centerlink::EventServerHub& hub, int channels, Log log,
               Clock clock = std::chrono::system_clock::now);

    void online(const std::string& phone, const std::string& plate, const std::string& driver);
    // A report of a device that is not online is dropped (it cannot happen
    // for an authenticated terminal). The number of the last event the
    // report made (0 when none): its answer waits until that is durable. A
    // fix sent again gets the number of the event it made the first time.
    std::uint64_t location(const std::string& phone, const jt808::Location& report);
    // The driver goes out with the next location report.
    void driver(const std::string& phone, const std::string& name);
    // `atMs`, when given, dates the offline no later than that (Unix ms).
    void offline(const std::string& phone, std::optional<std::int64_t> atMs = std::nullopt);

    // The latest location report of an online terminal, for the list of
    // terminals online.
    struct LastReport {
        std::chrono::system_clock::time_point when;  // the terminal's time, UTC
        double latitude = 0;                         // signed degrees, north positive
        double longitude = 0;                        // signed degrees, east positive
        double speedKmh = 0;
    };
    std::optional<LastReport> lastReport(const std::string& phone) const;

    // Fixes sent again are told apart only with this on (the center's
    // journal makes terminals send what was not answered again).
    void rememberFixes(bool on) { rememberFixes_ = on; }
    RecentFixes& recentFixes() { return recent_; }
    std::uint64_t reports() const { return reports_; }
    std::uint64_t reportsAgain() const { return reportsAgain_; }
    std::uint64_t reportsWithoutTime() const { return reportsWithoutTime_; }

private:
    struct Device {
        std::optional<std::string> newDriver;  // not yet sent
        std::optional<LastReport> lastReport;
    };

    centerlink::EventServerHub& hub_;
    int channels_;
    Log log_;
    Clock clock_;
    std::unordered_map<std::string, Device> online_;
    // Kept across reconnects, so that an alarm that stays set while the
    // terminal reconnects is not raised again.
    std::unordered_map<std::string, AlarmState> alarms_;
    RecentFixes recent_;
    bool rememberFixes_ = false;
    std::uint64_t reports_ = 0;
    std::uint64_t reportsAgain_ = 0;
    std::uint64_t reportsWithoutTime_ = 0;
};

}  // namespace center
