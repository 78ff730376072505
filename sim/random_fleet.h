#pragma once
// Random devices that drive around a city: each sends an RMC sentence every
// GPS interval (GPRMC or GNRMC, now and then without a fix), raises alarms
// and goes offline and online again at the configured rates.
//
// Thread: the server's io_context thread.

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "sim/center_server.h"

namespace sim {

struct FleetConfig {
    int devices = 20;
    double gpsIntervalSeconds = 1.0;
    double alarmRate = 0.5;  // per device per hour
    double churn = 0.5;      // offline/online cycles per device per hour
    std::uint64_t seed = 1;
};

class RandomFleet {
public:
    RandomFleet(asio::io_context& io, CenterServer& server, FleetConfig config);

    // Brings every device online and starts the updates.
    void start();
    void stop();

private:
    using Clock = std::chrono::steady_clock;

    struct Device {
        std::string id;
        std::string name;
        std::string vehicle;
        std::string driver;
        int channels = 1;
        const char* talker = "GP";
        double latitude = 0;
        double longitude = 0;
        double speedKmh = 0;
        double course = 0;
        bool online = false;
        Clock::time_point nextUpdate;
        Clock::time_point backOnline;
    };

    void tick();
    void update(Device& device, Clock::time_point now);
    void goOnline(Device& device);
    std::string sentence(Device& device);
    double chance(double perHour) const;

    asio::io_context& io_;
    CenterServer& server_;
    FleetConfig config_;
    asio::steady_timer timer_;
    std::mt19937_64 random_;
    std::vector<Device> devices_;
    Clock::duration interval_;
    bool running_ = false;
};

}  // namespace sim
