#pragma once
// Simulated vehicle terminals that connect to a center: each registers (or
// authenticates with the code it kept), then sends heartbeats and location
// reports along its route, raises alarms now and then, reports its driver's
// card, loses the network in dead zones and afterwards uploads what it
// buffered as one blind-area batch, and reconnects after every loss.
//
// Thread: one; every terminal runs on the io_context's thread. The counters
// may be read from any thread.

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/terminal/codes_file.h"
#include "sim/terminal/shared_camera.h"

namespace sim::terminal {

enum class ProtocolChoice { V2013, V2019, Mixed };

struct FleetConfig {
    std::string host = "127.0.0.1";
    std::uint16_t port = 7611;
    int terminals = 1;
    std::string firstPhone = "13912340000";
    ProtocolChoice protocol = ProtocolChoice::V2013;
    // Route centre in signed degrees; each terminal circles it on its own.
    double latitude = 22.543;
    double longitude = 114.057;
    double radiusKm = 2;
    double speedKmh = 40;
    std::chrono::milliseconds locationInterval{10'000};
    std::chrono::milliseconds heartbeatInterval{30'000};
    double alarmRate = 0;  // alarms per terminal per hour
    std::chrono::milliseconds alarmDuration{10'000};
    std::chrono::milliseconds deadZoneEvery{0};  // 0: never
    std::chrono::milliseconds deadZoneDuration{60'000};
    // A location report or batch not answered with success this long after
    // it went is sent again, waiting (n + 1) times as long after the n-th
    // time; after `retransmissions` times the connection is taken for lost,
    // and what is unanswered goes again after the next login.
    std::chrono::milliseconds answerTimeout{10'000};
    int retransmissions = 3;
    double reconnectRate = 0;  // dropped connections per terminal per hour
    std::chrono::milliseconds reconnectDelay{2'000};
    std::chrono::milliseconds ramp{0};  // terminals start spread over this time
    // Terminal i reports its k-th fix (from 0) at latitude 10 + k / 10000,
    // longitude 100 + i / 1000, so that what a center stored can be counted
    // against what was sent.
    bool numberedFixes = false;
    bool driverCard = true;
    std::string platePrefix = "粤B";
    int firstPlateNumber = 12345;
    // Authenticate with this code and never register (a forged or stale
    // code, to try the center's refusal).
    std::optional<std::string> authCode;
    // Send reports without registering or authenticating at all.
    bool skipAuthentication = false;
    // Cameras: what a real-time request starts (H.264 and G.711 A-law).
    int mediaWidth = 352;
    int mediaHeight = 288;
    int mediaFps = 25;
    bool mediaUdp = false;  // send to the UDP port the request names
    double mediaLoss = 0;   // share of media packets left out
    // Every terminal sends the same frames, encoded once per picture size
    // (load tests of the media path); otherwise each channel its own.
    bool mediaSharedEncoder = false;
    std::uint64_t seed = 1;
};

struct FleetCounters {
    std::atomic<std::uint64_t> connections{0};
    std::atomic<std::uint64_t> registrations{0};
    std::atomic<std::uint64_t> authentications{0};
    std::atomic<std::uint64_t> refusals{0};
    std::atomic<std::uint64_t> locations{0};        // 0x0200 sent
    std::atomic<std::uint64_t> batchItems{0};       // reports sent in 0x0704
    std::atomic<std::uint64_t> alarms{0};           // alarms raised
    std::atomic<std::uint64_t> acks{0};             // 0x8001 result 0
    std::atomic<std::uint64_t> nacks{0};            // 0x8001 other results
    std::atomic<std::uint64_t> reportsAnswered{0};  // 0x0200 and 0x0704 answered with success
    std::atomic<std::uint64_t> reportsResent{0};    // 0x0200 and 0x0704 sent again
    std::atomic<std::uint64_t> reportsGivenUp{0};   // dropped unanswered (the bound)
    std::atomic<std::uint64_t> disconnects{0};
    std::atomic<std::uint64_t> mediaRequests{0};  // 0x9101 carried out
    std::atomic<std::uint64_t> mediaCloses{0};    // 0x9102 close carried out
};

class Fleet {
public:
    using Log = std::function<void(const std::string&)>;

    Fleet(asio::io_context& io, FleetConfig config, CodesFile& codes, Log log);
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    void start();
    // Closes every connection and stops every timer.
    void stop();

    const FleetCounters& counters() const { return counters_; }
    // Reports not yet answered with success, in all terminals (the io
    // thread's, or once it has stopped).
    std::size_t unansweredReports() const;
    // No new reports from here on; what is unanswered still goes again.
    // The io thread's.
    void stopReporting();
    // The reports each terminal made, by index (the io thread's).
    std::vector<std::uint64_t> reportsMade() const;
    // The phone of terminal i as it appears in headers (12 or 20 digits).
    std::string phoneOf(int index) const;

    class Terminal;

private:
    asio::io_context& io_;
    FleetConfig config_;
    CodesFile& codes_;
    Log log_;
    FleetCounters counters_;
    SharedCameras cameras_;  // with mediaSharedEncoder
    std::vector<std::shared_ptr<Terminal>> terminals_;
    std::size_t unansweredAtStop_ = 0;
};

// "13912340000" + 5 -> "13912340005"; carries into the digits before.
std::string addToPhone(const std::string& phone, int n);

}  // namespace sim::terminal
