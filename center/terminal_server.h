#pragma once
// The terminals' side of the center: accepts JT/T 808 connections over TCP,
// keeps the limits (connections, connections not yet authenticated overall
// and per address) and one session per connection (terminal_session.h),
// whose messages the terminal service decides on (terminal_service.h).
//
// Thread: one; every member and handler runs on the io_context's thread.

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "center/device_feed.h"
#include "center/online_list.h"
#include "center/registry.h"
#include "center/session_timeouts.h"
#include "center/terminal_config.h"
#include "center/terminal_service.h"
#include "center/terminal_session.h"
#include "centerlink/address_guard.h"
#include "centerlink/tcp_listener.h"
#include "net/readiness_set.h"

namespace center {

class TerminalSession;

class TerminalServer {
public:
    using Log = TerminalService::Log;
    using MessageHandler = TerminalService::MessageHandler;

    // `registry` is open; the server writes to its file from a thread of
    // its own.
    TerminalServer(asio::io_context& io, TerminalConfig config, Registry& registry,
                   DeviceFeed& feed, Log log);
    ~TerminalServer();
    TerminalServer(const TerminalServer&) = delete;
    TerminalServer& operator=(const TerminalServer&) = delete;

    std::string open();
    std::uint16_t port() const;
    // Closes the port and every connection (their devices go offline), and
    // writes what the registry still has queued.
    void close();

    // Sends a platform message (0x9101 and the like) to the terminal that
    // is logged in with this phone; false when none is.
    bool sendToTerminal(const std::string& phone, std::uint16_t msgId,
                        std::span<const std::uint8_t> body) {
        return service_.sendToTerminal(phone, msgId, body);
    }
    void setMessageHandler(MessageHandler handler) {
        service_.setMessageHandler(std::move(handler));
    }
    TerminalService& service() { return service_; }
    const TerminalService& service() const { return service_; }

    // The address of this center that the terminal logged in with this
    // phone reached; empty when none is.
    std::string localAddressOf(const std::string& phone) const;

    // The authenticated terminals, by phone.
    std::vector<OnlineEntry> onlineTerminals() const;

    std::size_t connections() const { return sessions_.size(); }
    std::size_t authenticated() const { return service_.authenticated(); }
    std::size_t unauthenticated() const { return unauthenticated_.inUse(); }
    std::uint64_t refusedConnections() const { return refusedConnections_; }

private:
    struct ProxiedConnection;
    void accepted(asio::ip::tcp::socket socket);
    // Reads the balancer's header, then admits the connection as the
    // terminal's address it names.
    void readProxyHeader(std::shared_ptr<ProxiedConnection> connection);
    void admit(asio::ip::tcp::socket socket, const asio::ip::tcp::endpoint& source);
    void refuseConnection(asio::ip::tcp::socket& socket, const std::string& why);

    asio::io_context& io_;
    TerminalConfig config_;
    Log log_;
    TerminalService service_;
    centerlink::TcpListener listener_;
    centerlink::AddressSlots unauthenticated_;
    SessionTimeouts timeouts_;
    // Every connection's reads are watched here, registered once.
    net::ReadinessSet readiness_;
    TerminalSession::ReadBuffer readBuffer_{};
    std::unordered_map<const TerminalSession*, std::shared_ptr<TerminalSession>> sessions_;
    std::uint64_t refusedConnections_ = 0;
    std::chrono::steady_clock::time_point lastRefusalLog_{};
    std::size_t readingHeaders_ = 0;  // connections whose PROXY header is on its way
    bool closing_ = false;
};

}  // namespace center
