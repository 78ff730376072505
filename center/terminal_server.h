#pragma once
// The terminals' side of the center: accepts JT/T 808 connections over TCP,
// keeps the limits (connections, frame size, pending sub-packages, silence)
// and one session per connection (terminal_session.h). An authenticated
// terminal owns its phone number: a second login of the same phone replaces
// the first connection without an offline in between.
//
// Thread: one; every member and handler runs on the io_context's thread.

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "center/allow_list.h"
#include "center/device_feed.h"
#include "center/registry.h"
#include "centerlink/tcp_listener.h"
#include "jt808/frame.h"

namespace center {

struct TerminalConfig {
    std::string listen = "0.0.0.0";
    int port = 7611;
    std::size_t maxTerminals = 20000;
    std::size_t maxFrameBytes = 4096;
    std::size_t maxPendingPackages = 64;
    int authFailureLimit = 3;
    std::chrono::milliseconds heartbeatTimeout{180'000};
    bool openRegistration = false;
    std::string allowListPath;  // DIR/allowed-terminals
};

class TerminalSession;

class TerminalServer {
public:
    using Log = std::function<void(const std::string&)>;
    // A message of an authenticated terminal that the center itself does not
    // handle (a terminal's general response, the answers to media commands).
    // True when the handler took it: the center then sends no "not
    // supported" answer of its own.
    using MessageHandler = std::function<bool(const std::string& phone, const jt808::Message&)>;

    TerminalServer(asio::io_context& io, TerminalConfig config, Registry& registry,
                   DeviceFeed& feed, Log log);
    ~TerminalServer();
    TerminalServer(const TerminalServer&) = delete;
    TerminalServer& operator=(const TerminalServer&) = delete;

    std::string open();
    std::uint16_t port() const;
    // Closes the port and every connection (their devices go offline).
    void close();

    // Sends a platform message (0x9101 and the like) to the terminal that
    // is logged in with this phone; false when none is.
    bool sendToTerminal(const std::string& phone, std::uint16_t msgId,
                        std::span<const std::uint8_t> body);
    void setMessageHandler(MessageHandler handler) { handler_ = std::move(handler); }

    // The address of this center that the terminal logged in with this
    // phone reached; empty when none is.
    std::string localAddressOf(const std::string& phone) const;

    struct OnlineTerminal {
        std::string phone;
        std::string address;  // the terminal's "ADDR:PORT"
        std::string plate;
    };
    // The authenticated terminals, by phone.
    std::vector<OnlineTerminal> onlineTerminals() const;

    std::size_t connections() const { return sessions_.size(); }
    std::size_t authenticated() const { return byPhone_.size(); }
    std::uint64_t refusedConnections() const { return refusedConnections_; }

private:
    friend class TerminalSession;

    void accepted(asio::ip::tcp::socket socket);
    void log(const std::string& line) const;
    // The session now owns the phone; an older session of it is closed.
    void claim(const std::string& phone, TerminalSession* session);
    bool owns(const std::string& phone, const TerminalSession* session) const;
    void release(const std::string& phone, const TerminalSession* session);
    void forget(const TerminalSession* session);

    asio::io_context& io_;
    TerminalConfig config_;
    Registry& registry_;
    DeviceFeed& feed_;
    Log log_;
    AllowList allowList_;
    MessageHandler handler_;
    centerlink::TcpListener listener_;
    std::unordered_map<const TerminalSession*, std::shared_ptr<TerminalSession>> sessions_;
    std::unordered_map<std::string, TerminalSession*> byPhone_;
    std::uint64_t refusedConnections_ = 0;
    std::chrono::steady_clock::time_point lastRefusalLog_{};
};

}  // namespace center
