#include "sim/random_fleet.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "gps/rmc_writer.h"

namespace sim {
namespace {

// The area the devices drive in, around a city center.
constexpr double kCenterLatitude = 30.2741;
constexpr double kCenterLongitude = 120.1551;
constexpr double kRadiusDegrees = 0.15;
constexpr double kKnotsPerKmh = 1.0 / 1.852;

const char* const kDrivers[] = {"张伟",          "李娜",     "王芳",   "刘洋", "陈静",
                                "Anna Berg",     "O'Brien",  "Ruiz",   "赵磊", "Nguyễn Văn An",
                                "Jakob Ødegård", "Sato Yui", "Müller", "黄敏", "周杰"};
const char* const kProvinces[] = {"浙A", "浙B", "沪C", "苏E", "粤B"};

std::string zeroPadded(int value, int width) {
    std::string digits = std::to_string(value);
    return std::string(
               static_cast<std::size_t>(std::max(0, width - static_cast<int>(digits.size()))),
               '0') +
           digits;
}

}  // namespace

RandomFleet::RandomFleet(asio::io_context& io, CenterServer& server, FleetConfig config)
    : io_(io),
      server_(server),
      config_(config),
      timer_(io),
      random_(config.seed),
      interval_(std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(config.gpsIntervalSeconds))) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> channels(1, 4);
    devices_.resize(static_cast<std::size_t>(std::max(0, config_.devices)));
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        Device& d = devices_[i];
        const int number = static_cast<int>(i) + 1;
        d.id = "sim-" + zeroPadded(number, 5);
        d.name = "VD" + zeroPadded(number, 5);
        d.vehicle = std::string(kProvinces[random_() % std::size(kProvinces)]) + "·" +
                    zeroPadded(static_cast<int>(random_() % 100000), 5);
        d.driver = kDrivers[random_() % std::size(kDrivers)];
        d.channels = channels(random_);
        d.talker = unit(random_) < 0.5 ? "GP" : "GN";
        const double angle = unit(random_) * 2 * std::numbers::pi;
        const double r = std::sqrt(unit(random_)) * kRadiusDegrees;
        d.latitude = kCenterLatitude + r * std::sin(angle);
        d.longitude = kCenterLongitude + r * std::cos(angle);
        d.speedKmh = unit(random_) * 60;
        d.course = unit(random_) * 360;
    }
}

double RandomFleet::chance(double perHour) const {
    return perHour * config_.gpsIntervalSeconds / 3600.0;
}

void RandomFleet::start() {
    running_ = true;
    const auto now = Clock::now();
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        Device& d = devices_[i];
        goOnline(d);
        // Spread the updates evenly over one interval.
        d.nextUpdate = now + interval_ * static_cast<Clock::rep>(i + 1) /
                                 static_cast<Clock::rep>(devices_.size());
    }
    if (!devices_.empty()) {
        tick();
    }
}

void RandomFleet::stop() {
    running_ = false;
    timer_.cancel();
}

void RandomFleet::goOnline(Device& d) {
    d.online = true;
    const std::string error = server_.online(
        vardo::protocol::Online{d.id, d.name, d.vehicle, d.driver, d.channels, sentence(d)});
    if (!error.empty()) {
        logLine(error);
    }
}

void RandomFleet::tick() {
    const auto now = Clock::now();
    for (Device& d : devices_) {
        if (d.online ? now >= d.nextUpdate : now >= d.backOnline) {
            update(d, now);
        }
    }
    const auto period = std::min<Clock::duration>(std::chrono::milliseconds(20), interval_);
    timer_.expires_after(period);
    timer_.async_wait([this](const asio::error_code& error) {
        if (!error && running_) {
            tick();
        }
    });
}

void RandomFleet::update(Device& d, Clock::time_point now) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    d.nextUpdate += interval_;
    if (d.nextUpdate < now) {
        d.nextUpdate = now + interval_;  // fell behind: do not burst to catch up
    }
    if (!d.online) {
        goOnline(d);
        return;
    }
    if (unit(random_) < chance(config_.churn)) {
        d.online = false;
        server_.offline(d.id);
        // Back within a fraction of the cycle, so the rate holds.
        const double cycleSeconds = 3600.0 / std::max(config_.churn, 1e-9);
        const double away = std::min(60.0, cycleSeconds / 4) * (0.2 + 0.8 * unit(random_));
        d.backOnline =
            now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(away));
        return;
    }
    // Drive on: speed and heading wander, and the road turns back toward the
    // center at the edge of the area.
    const double seconds = config_.gpsIntervalSeconds;
    d.speedKmh = std::clamp(d.speedKmh + (unit(random_) - 0.5) * 10, 0.0, 90.0);
    d.course = std::fmod(d.course + (unit(random_) - 0.5) * 30 + 360.0, 360.0);
    const double dLat = d.latitude - kCenterLatitude;
    const double dLon = d.longitude - kCenterLongitude;
    if (std::hypot(dLat, dLon) > kRadiusDegrees) {
        d.course = std::fmod(std::atan2(-dLon, -dLat) * 180 / std::numbers::pi + 360.0, 360.0);
    }
    const double km = d.speedKmh * seconds / 3600.0;
    const double rad = d.course * std::numbers::pi / 180;
    d.latitude += km * std::cos(rad) / 111.32;
    d.longitude += km * std::sin(rad) / (111.32 * std::cos(d.latitude * std::numbers::pi / 180));
    if (const std::string error = server_.gps(d.id, sentence(d)); !error.empty()) {
        logLine(error);
    }
    if (unit(random_) < chance(config_.alarmRate)) {
        server_.alarm(d.id, static_cast<int>(random_() % 8));
    }
}

std::string RandomFleet::sentence(Device& d) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    gps::RmcFix fix;
    fix.valid = unit(random_) >= 0.03;  // now and then no fix
    fix.latitude = d.latitude;
    fix.longitude = d.longitude;
    fix.speedKnots = d.speedKmh * kKnotsPerKmh;
    fix.courseDegrees = d.course;
    return gps::rmcSentence(d.talker, fix, std::chrono::system_clock::now());
}

}  // namespace sim
