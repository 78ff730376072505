#pragma once
// One terminal connection: frames in, answers out, sub-packages put back
// together, and the connection's time limits. What a message means
// (registration, authentication, reports, driver cards, deregistration) is
// the terminal service's to decide (terminal_service.h); the session only
// keeps who the connection authenticated as.
//
// Until it authenticates, a connection may send whole 0x0100 and 0x0102
// frames only, and must authenticate within the configured time of
// connecting: nothing it sends before buys it more time.
//
// Its time limits are kept with every other connection's (session_timeouts.h);
// what it reads goes through one buffer shared by every connection, and only
// what is not a whole frame yet stays with the connection.
//
// Its reads are the server's readiness set's to start (net/readiness_set.h):
// no read waits in asio for each of thousands of mostly silent connections.
//
// Thread: the center's io thread. Held by the server until it closes, and
// by its pending handlers (asio's usual shared ownership).

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "center/device_feed.h"
#include "center/session_timeouts.h"
#include "center/terminal_config.h"
#include "centerlink/address_guard.h"
#include "jt808/frame.h"
#include "jt808/frame_splitter.h"
#include "jt808/general_response.h"
#include "jt808/subpackage_assembler.h"
#include "net/bounded_writer.h"
#include "net/readiness_set.h"

namespace center {

class TerminalService;

class TerminalSession final : public std::enable_shared_from_this<TerminalSession>,
                              private net::ReadinessSet::Reader {
public:
    // What every connection reads into, one at a time on the io thread.
    using ReadBuffer = std::array<std::uint8_t, 4096>;

    // `source`: where the terminal connects from (the socket's peer, or what
    // a balancer in front named). `gone` is called once, when the connection
    // has closed.
    TerminalSession(asio::io_context& io, const TerminalConfig& config, TerminalService& service,
                    SessionTimeouts& timeouts, net::ReadinessSet& readiness, ReadBuffer& readBuffer,
                    asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& source,
                    centerlink::AddressSlots::Ticket unauthenticated,
                    std::function<void(const TerminalSession*)> gone);
    ~TerminalSession();
    TerminalSession(const TerminalSession&) = delete;
    TerminalSession& operator=(const TerminalSession&) = delete;

    void start();
    // `quiet`: the phone went to a newer connection; no offline for it.
    void close(const std::string& why, bool quiet = false);

    // Answers to a message of this connection.
    void respond(const jt808::Message& to, jt808::ResponseResult result);
    void reply(const jt808::Header& to, std::uint16_t msgId, std::span<const std::uint8_t> body);
    // A platform message in the authenticated terminal's header layout.
    void sendMessage(std::uint16_t msgId, std::span<const std::uint8_t> body);
    // A refused message: counted; past the limit the connection closes once
    // its last answer is written.
    void countFailure();

    // The service's verdicts on who is at the other end.
    void authenticate(const std::string& phone, const jt808::Header& login);
    void deauthenticate();

    const std::string& phone() const { return phone_; }
    bool authenticated() const { return authenticated_; }
    // "ip:port", and the ip alone (the key of per-address limits).
    const std::string& peer() const { return peer_; }
    const std::string& address() const { return address_; }
    std::string who() const;
    // The plate the registry holds for the authenticated phone.
    const std::string& plate() const { return plate_; }
    void setPlate(std::string plate) { plate_ = std::move(plate); }
    // The device the authenticated phone feeds; null when none.
    DeviceFeed::Device* device() const { return device_; }
    void setDevice(DeviceFeed::Device* device) { device_ = device; }
    // The address of this center the terminal's connection reached: on a
    // wildcard --listen address, the one the terminal can reach it at. Asked
    // of the socket only when needed (a stream's request), not at each login.
    // Empty once the connection is closed.
    std::string localAddress() const;

private:
    // The readiness set reports bytes; they are read into the shared
    // buffer (no connection holds a read buffer while it waits) until the
    // socket is drained or the connection has had its turn.
    bool readable(bool ended) override;
    void onFrame(std::span<const std::uint8_t> frame);
    // False when the connection may not send this yet.
    bool admissible(const jt808::Header& header);
    void send(std::vector<std::uint8_t> frame);

    asio::io_context& io_;
    const TerminalConfig& config_;
    TerminalService& service_;
    asio::ip::tcp::socket socket_;
    SessionTimeouts& timeouts_;
    net::ReadinessSet& readiness_;
    ReadBuffer& readBuffer_;
    SessionTimeouts::Place heard_{this};
    SessionTimeouts::Place loginTime_{this};
    net::BoundedWriter writer_;
    centerlink::AddressSlots::Ticket unauthenticated_;  // held until it authenticates
    std::function<void(const TerminalSession*)> gone_;
    std::string peer_;
    std::string address_;
    jt808::FrameSplitter splitter_;
    jt808::SubpackageAssembler assembler_;
    bool closed_ = false;
    bool watched_ = false;    // in the readiness set
    bool finishing_ = false;  // close once the answers are written
    bool authenticated_ = false;
    jt808::Header loginHeader_;  // the layout and phone answers go out with
    std::string phone_;          // once authenticated
    std::string plate_;          // the registry's, once authenticated
    DeviceFeed::Device* device_ = nullptr;
    int failures_ = 0;
    int badFrames_ = 0;  // since the last good one
    std::uint16_t serial_ = 0;
};

}  // namespace center
