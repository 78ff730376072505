#pragma once
// A JT/T 808 terminal played by a test over a real, blocking TCP socket:
// sends messages built with the codec's encoders and reads the platform's
// answers back as decoded messages.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "jt808/frame.h"
#include "jt808/frame_splitter.h"
#include "jt808/location.h"

namespace centertest {

using namespace std::chrono_literals;

class TestTerminal {
public:
    // `from`: the local address to connect from (127.0.0.2 plays a
    // stranger's machine); empty for the system's choice. `host`: the
    // center's IPv4 loopback address to connect to.
    TestTerminal(std::uint16_t port, std::string phone,
                 jt808::Version version = jt808::Version::V2013, const std::string& from = {},
                 const std::string& host = "127.0.0.1");
    ~TestTerminal();
    TestTerminal(const TestTerminal&) = delete;
    TestTerminal& operator=(const TestTerminal&) = delete;

    bool connected() const { return fd_ >= 0; }
    const std::string& phone() const { return phone_; }

    // Sends one message; its serial.
    std::uint16_t send(std::uint16_t msgId, std::span<const std::uint8_t> body);
    bool sendRaw(std::span<const std::uint8_t> bytes);
    // Sends these bytes and its end of the connection at once (a terminal
    // that hangs up right after its last reports); answers can still be read.
    bool sendRawAndEnd(std::span<const std::uint8_t> bytes);
    // The next message from the platform; nothing at the deadline or when closed.
    std::optional<jt808::Message> receive(std::chrono::milliseconds limit = 10s);
    // True once the platform has closed the connection.
    bool waitClosed(std::chrono::milliseconds limit = 10s);

    // The result of the 0x8001 that answers `serial`; -1 when none came.
    int resultOf(std::uint16_t serial, std::chrono::milliseconds limit = 10s);

    // Registration with this plate; the authentication code, empty when refused.
    std::string registerAs(const std::string& plate, int* result = nullptr);
    // Authentication; the 0x8001 result.
    int authenticate(const std::string& code);
    // The 0x8001 result of a location report.
    int report(const jt808::Location& location);

private:
    int fd_ = -1;
    std::string phone_;
    jt808::Version version_;
    std::uint16_t serial_ = 1;
    jt808::FrameSplitter splitter_;
};

// A located report at a signed position (south and west negative), speed in
// km/h, time as 12 digits in GMT+8.
jt808::Location makeLocation(double latitude, double longitude, double kmh, int course,
                             const std::string& time, std::uint32_t alarms = 0);

}  // namespace centertest
