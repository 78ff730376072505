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
#include <string_view>
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

    // The latest location report of an online terminal, for the list of
    // terminals online.
    struct LastReport {
        std::chrono::system_clock::time_point when;  // the terminal's time, UTC
        double latitude = 0;                         // signed degrees, north positive
        double longitude = 0;                        // signed degrees, east positive
        double speedKmh = 0;
    };

    // What the feed keeps of one phone, from its first login for as long as
    // the feed lives: a terminal's session holds it from its login on, so
    // that a report finds its device without a search by phone.
    struct Device {
        std::string phone;
        bool online = false;
        // The hub's own entry for it, set at its first login.
        centerlink::EventServerHub::Device* hub = nullptr;
        std::optional<std::string> newDriver;  // not yet sent
        std::optional<LastReport> lastReport;
        // Kept across reconnects, so that an alarm that stays set while the
        // terminal reconnects is not raised again.
        AlarmState alarms;
        // Its last fixes, to tell one sent again (with rememberFixes on).
        RecentFixes recent;
    };

    // The phone's device, now online; null when the event servers' side
    // refused it (the reason is logged).
    Device* online(const std::string& phone, const std::string& plate, const std::string& driver);
    // A report of a device that is not online (or none) is dropped. The
    // number of the last event the report made (0 when none): its answer
    // waits until that is durable. A fix sent again gets the number of the
    // event it made the first time.
    std::uint64_t location(Device* device, const jt808::Location& report);
    // The driver goes out with the next location report.
    void driver(const std::string& phone, const std::string& name);
    // `atMs`, when given, dates the offline no later than that (Unix ms).
    void offline(const std::string& phone, std::optional<std::int64_t> atMs = std::nullopt);

    static std::optional<LastReport> lastReport(const Device* device) {
        return device != nullptr && device->online ? device->lastReport : std::nullopt;
    }

    // Fixes sent again are told apart only with this on (the center's
    // journal makes terminals send what was not answered again).
    void rememberFixes(bool on) { rememberFixes_ = on; }
    // Remembers the fix a protocol line of the journal carries (any other
    // line is left out), for the device it names, online or not.
    void rememberLine(std::string_view line, std::uint64_t seq);
    std::uint64_t reports() const { return reports_; }
    std::uint64_t reportsAgain() const { return reportsAgain_; }
    std::uint64_t reportsWithoutTime() const { return reportsWithoutTime_; }

private:
    // The alarms that rose with this report, sent on; true when any was.
    bool raiseAlarms(Device& device, const jt808::Location& report);

    centerlink::EventServerHub& hub_;
    int channels_;
    Log log_;
    Clock clock_;
    // Every phone that came online; the nodes stay put, so the pointers
    // sessions hold stay good.
    std::unordered_map<std::string, Device> devices_;
    bool rememberFixes_ = false;
    std::uint64_t reports_ = 0;
    std::uint64_t reportsAgain_ = 0;
    std::uint64_t reportsWithoutTime_ = 0;
};

}  // namespace center
