#pragma once
// One terminal's connection to a center, blocking, for tests and scripted
// runs: send any message (a forged authentication, a report before
// authenticating, a broken frame) and read what the center answers.
//
// Thread: one at a time.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "jt808/frame.h"
#include "jt808/frame_splitter.h"
#include "jt808/general_response.h"
#include "jt808/registration.h"

namespace sim::terminal {

class TerminalConnection {
public:
    // A 2013 phone has up to 12 digits, a 2019 one up to 20; fewer are
    // padded with leading zeros.
    TerminalConnection(std::string phone, jt808::Version version);
    ~TerminalConnection();
    TerminalConnection(const TerminalConnection&) = delete;
    TerminalConnection& operator=(const TerminalConnection&) = delete;

    // The error text, or empty once connected.
    std::string connect(const std::string& host, std::uint16_t port,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void close();
    bool connected() const { return fd_ >= 0; }

    // Sends one message with the next serial, which it returns (sub-packaged
    // when the body is too long for one frame). Nothing on a send failure.
    std::optional<std::uint16_t> send(std::uint16_t msgId, std::span<const std::uint8_t> body);
    // Sends bytes as they are.
    bool sendRaw(std::span<const std::uint8_t> bytes);

    // The next message from the center; nothing on time-out or when the
    // connection closed (see closedByPeer()). Frames that do not decode are
    // counted and skipped.
    std::optional<jt808::Message> receive(std::chrono::milliseconds timeout);
    // Waits for the center's message with this id, skipping others.
    std::optional<jt808::Message> receiveId(std::uint16_t msgId, std::chrono::milliseconds timeout);
    bool closedByPeer() const { return peerClosed_; }
    int badFrames() const { return badFrames_; }

    // Registration and authentication, waiting for the answer.
    std::optional<jt808::RegistrationResponse> registerTerminal(
        const jt808::Registration& reg,
        std::chrono::milliseconds timeout = std::chrono::seconds(5));
    std::optional<jt808::GeneralResponse> authenticate(
        const std::string& code, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    const std::string& phone() const { return header_.phone; }
    jt808::Version version() const { return header_.version; }
    std::uint16_t nextSerial() const { return header_.serial; }

private:
    jt808::Header header_;  // phone, layout and the next serial
    int fd_ = -1;
    jt808::FrameSplitter splitter_;
    std::vector<jt808::Message> inbox_;
    bool peerClosed_ = false;
    int badFrames_ = 0;
};

}  // namespace sim::terminal
