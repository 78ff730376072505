#pragma once
// One terminal connection: frames in, the platform's answers out. Until the
// terminal authenticates it may only register and authenticate; anything
// else is refused, and repeated refusals close the connection.
//
// Thread: the center's io thread. Lives as long as one of its handlers is
// pending (asio's usual shared ownership).

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "jt808/frame.h"
#include "jt808/frame_splitter.h"
#include "jt808/general_response.h"
#include "jt808/subpackage_assembler.h"
#include "net/bounded_writer.h"

namespace center {

class TerminalServer;

class TerminalSession : public std::enable_shared_from_this<TerminalSession> {
public:
    TerminalSession(TerminalServer& server, asio::ip::tcp::socket socket);

    void start();
    // `quiet`: the phone went to a newer connection; no offline for it.
    void close(const std::string& why, bool quiet = false);
    // A platform message in this terminal's header layout.
    void sendMessage(std::uint16_t msgId, std::span<const std::uint8_t> body);

    const std::string& phone() const { return phone_; }
    bool authenticated() const { return authenticated_; }

private:
    void read();
    void onRead(const asio::error_code& error, std::size_t n);
    void onFrame(std::span<const std::uint8_t> frame);
    void onMessage(const jt808::Message& message);
    void onRegistration(const jt808::Message& message);
    void onAuthentication(const jt808::Message& message);
    void onLocation(const jt808::Message& message);
    void onBatch(const jt808::Message& message);
    void onDriver(const jt808::Message& message);
    void onDeregistration(const jt808::Message& message);
    // An answer to the message: 0x8001 with its serial and id.
    void respond(const jt808::Message& to, jt808::ResponseResult result);
    void reply(const jt808::Header& to, std::uint16_t msgId, std::span<const std::uint8_t> body);
    void refuse(const jt808::Message& message, const std::string& why);
    void countFailure();
    void send(std::vector<std::uint8_t> frame);
    void tick();
    std::string who() const;

    TerminalServer& server_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer timer_;
    net::BoundedWriter writer_;
    std::string peer_;
    std::array<std::uint8_t, 4096> buffer_{};
    jt808::FrameSplitter splitter_;
    jt808::SubpackageAssembler assembler_;
    bool closed_ = false;
    bool finishing_ = false;  // close once the answers are written
    bool authenticated_ = false;
    jt808::Header loginHeader_;  // the layout and phone answers go out with
    std::string phone_;          // once authenticated
    std::string plate_;
    int failures_ = 0;
    int badFrames_ = 0;  // since the last good one
    std::uint16_t serial_ = 0;
    std::chrono::steady_clock::time_point lastReceived_;
};

}  // namespace center
