#include "center/device_feed.h"

#include "center/location_sentence.h"

namespace center {

DeviceFeed::DeviceFeed(centerlink::EventServerHub& hub, int channels, Log log, Clock clock)
    : hub_(hub), channels_(channels), log_(std::move(log)), clock_(std::move(clock)) {}

DeviceFeed::Device* DeviceFeed::online(const std::string& phone, const std::string& plate,
                                       const std::string& driver) {
    vardo::protocol::Online device;
    device.dev = phone;
    device.name = phone;
    device.vehicle = plate;
    device.driver = driver;
    device.channels = channels_;
    if (std::string error = hub_.online(device); !error.empty()) {
        log_("terminal " + phone + ": " + error);
        return nullptr;
    }
    Device& kept = devices_[phone];
    kept.phone = phone;
    kept.online = true;
    kept.hub = hub_.device(phone);
    kept.newDriver.reset();
    kept.lastReport.reset();
    return &kept;
}

std::uint64_t DeviceFeed::location(Device* device, const jt808::Location& report) {
    if (device == nullptr || !device->online) {
        return 0;
    }
    std::chrono::system_clock::time_point when;
    if (const auto reported = jt808::utcTime(report)) {
        when = *reported;
    } else {
        // The position is still worth having; the center's clock is the
        // best time there is for it.
        ++reportsWithoutTime_;
        when = clock_();
    }
    const std::string& phone = device->phone;
    std::string sentence = rmcFromLocation(report, when);
    const std::uint64_t fix = rememberFixes_ ? RecentFixes::keyOf(phone, sentence) : 0;
    if (const std::uint64_t earlier = rememberFixes_ ? device->recent.find(fix) : 0; earlier != 0) {
        // The same position at the same second: a report sent again, or one
        // a terminal sent at once when an alarm went off while it stood
        // still. The position is numbered already; an alarm that rose with
        // it is not, and the answer then waits for the alarm too.
        ++reportsAgain_;
        return raiseAlarms(*device, report) ? hub_.lastNumber() : earlier;
    }
    ++reports_;
    LastReport& last = device->lastReport.emplace(LastReport{});
    last.when = when;
    last.latitude = report.latitude / 1e6 * ((report.status & jt808::status::kSouth) ? -1 : 1);
    last.longitude = report.longitude / 1e6 * ((report.status & jt808::status::kWest) ? -1 : 1);
    last.speedKmh = report.speed / 10.0;
    std::optional<std::string> driver;
    driver.swap(device->newDriver);
    // The sentence goes on with the event; the fix is remembered by its key.
    // Online here means the hub took its login: `hub` is set.
    if (std::string error =
            hub_.gps(*device->hub, std::move(sentence), std::nullopt, std::move(driver));
        !error.empty()) {
        log_("terminal " + phone + ": " + error);
    } else if (rememberFixes_) {
        device->recent.remember(fix, hub_.lastNumber());
    }
    raiseAlarms(*device, report);
    return hub_.lastNumber();
}

bool DeviceFeed::raiseAlarms(Device& device, const jt808::Location& report) {
    const std::uint32_t* video = report.videoAlarms ? &*report.videoAlarms : nullptr;
    bool raised = false;
    for (const int kind : risingAlarmKinds(device.alarms, report.alarm, video)) {
        if (std::string error = hub_.alarm(device.phone, kind); !error.empty()) {
            log_("terminal " + device.phone + ": " + error);
        } else {
            raised = true;
        }
    }
    return raised;
}

void DeviceFeed::driver(const std::string& phone, const std::string& name) {
    if (const auto it = devices_.find(phone); it != devices_.end() && it->second.online) {
        it->second.newDriver = name;
    }
}

void DeviceFeed::offline(const std::string& phone, std::optional<std::int64_t> atMs) {
    const auto it = devices_.find(phone);
    if (it == devices_.end() || !it->second.online) {
        return;
    }
    it->second.online = false;
    it->second.newDriver.reset();
    it->second.lastReport.reset();
    if (std::string error = hub_.offline(phone, atMs); !error.empty()) {
        log_("terminal " + phone + ": " + error);
    }
}

void DeviceFeed::rememberLine(std::string_view line, std::uint64_t seq) {
    if (auto fix = FixOfLine(line)) {
        Device& device = devices_[fix->first];
        device.phone = fix->first;
        device.recent.remember(RecentFixes::keyOf(fix->first, fix->second), seq);
    }
}

}  // namespace center
