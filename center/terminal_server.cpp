#include "center/terminal_server.h"

#include <algorithm>

#include "center/proxy_header.h"
#include "center/terminal_session.h"

namespace center {

using asio::ip::tcp;

TerminalServer::TerminalServer(asio::io_context& io, TerminalConfig config, Registry& registry,
                               DeviceFeed& feed, Log log)
    : io_(io),
      config_(std::move(config)),
      log_(std::move(log)),
      service_(io, config_, registry, feed, log_),
      listener_(io),
      unauthenticated_(config_.maxUnauthenticated, config_.maxUnauthenticatedPerAddress),
      timeouts_(io, config_.heartbeatTimeout, config_.authTimeout),
      readiness_(io) {}

TerminalServer::~TerminalServer() {
    close();
}

std::string TerminalServer::open() {
    if (std::string error = service_.start(); !error.empty()) {
        return error;
    }
    if (std::string error = listener_.open(config_.listen, config_.port, "terminals");
        !error.empty()) {
        return error;
    }
    listener_.start([this](tcp::socket socket) { accepted(std::move(socket)); });
    timeouts_.start();
    return {};
}

std::uint16_t TerminalServer::port() const {
    return listener_.port();
}

void TerminalServer::close() {
    closing_ = true;
    listener_.close();
    std::vector<std::shared_ptr<TerminalSession>> all;
    all.reserve(sessions_.size());
    for (const auto& [key, session] : sessions_) {
        all.push_back(session);
    }
    for (const auto& session : all) {
        session->close("the center stops");
    }
    timeouts_.stop();
    service_.stop();
}

void TerminalServer::refuseConnection(tcp::socket& socket, const std::string& why) {
    // Said once a minute at most: a flood must not flood the log.
    ++refusedConnections_;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastRefusalLog_ >= std::chrono::minutes(1)) {
        lastRefusalLog_ = now;
        service_.log("connection refused: " + why + " (" + std::to_string(refusedConnections_) +
                     " refused so far)");
    }
    asio::error_code ec;
    socket.close(ec);
}

struct TerminalServer::ProxiedConnection {
    ProxiedConnection(tcp::socket s, asio::io_context& io) : socket(std::move(s)), timer(io) {}
    tcp::socket socket;
    asio::steady_timer timer;
    std::vector<std::uint8_t> bytes;
};

void TerminalServer::accepted(tcp::socket socket) {
    if (sessions_.size() + readingHeaders_ >= config_.maxTerminals) {
        refuseConnection(socket, std::to_string(config_.maxTerminals) + " terminals are connected");
        return;
    }
    asio::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec) {
        return;  // gone already
    }
    if (!config_.proxyProtocol) {
        admit(std::move(socket), endpoint);
        return;
    }
    auto connection = std::make_shared<ProxiedConnection>(std::move(socket), io_);
    ++readingHeaders_;
    // A balancer sends its header at once; a connection that does not is
    // not kept waiting for longer than a login may take.
    connection->timer.expires_after(config_.authTimeout);
    connection->timer.async_wait([connection](const asio::error_code& error) {
        if (!error) {
            asio::error_code ignored;
            connection->socket.close(ignored);
        }
    });
    readProxyHeader(std::move(connection));
}

void TerminalServer::readProxyHeader(std::shared_ptr<ProxiedConnection> connection) {
    const ProxyHeader header = ParseProxyHeader(connection->bytes);
    if (header.kind == ProxyHeader::Kind::Incomplete) {
        // Never past the header: what follows is the terminal's.
        const std::size_t have = connection->bytes.size();
        connection->bytes.resize(header.length);
        auto* socket = &connection->socket;
        asio::async_read(*socket,
                         asio::buffer(connection->bytes.data() + have, header.length - have),
                         [this, connection](const asio::error_code& error, std::size_t) {
                             if (error || closing_) {
                                 --readingHeaders_;
                                 connection->timer.cancel();
                                 asio::error_code ignored;
                                 connection->socket.close(ignored);
                                 return;
                             }
                             readProxyHeader(connection);
                         });
        return;
    }
    --readingHeaders_;
    connection->timer.cancel();
    asio::error_code ec;
    const auto balancer = connection->socket.remote_endpoint(ec);
    switch (header.kind) {
        case ProxyHeader::Kind::Proxied:
            admit(std::move(connection->socket), header.source);
            return;
        case ProxyHeader::Kind::Local:
            if (!ec) {
                admit(std::move(connection->socket), balancer);
            }
            return;
        default:
            refuseConnection(connection->socket,
                             (ec ? std::string("?") : centerlink::addressKey(balancer.address())) +
                                 ": " + header.error);
            return;
    }
}

void TerminalServer::admit(tcp::socket socket, const tcp::endpoint& source) {
    const std::string address = centerlink::addressKey(source.address());
    auto ticket = unauthenticated_.take(address);
    if (!ticket.held()) {
        refuseConnection(
            socket, "too many connections not yet authenticated (" +
                        std::to_string(unauthenticated_.inUse()) + " in all, at most " +
                        std::to_string(unauthenticated_.perAddress()) + " from " + address + ")");
        return;
    }
    auto session = std::make_shared<TerminalSession>(
        io_, config_, service_, timeouts_, readiness_, readBuffer_, std::move(socket), source,
        std::move(ticket), [this](const TerminalSession* gone) { sessions_.erase(gone); });
    sessions_.emplace(session.get(), session);
    session->start();
}

std::string TerminalServer::localAddressOf(const std::string& phone) const {
    const TerminalSession* session = service_.sessionOf(phone);
    return session == nullptr ? std::string() : session->localAddress();
}

std::vector<OnlineEntry> TerminalServer::onlineTerminals() const {
    std::vector<OnlineEntry> terminals;
    terminals.reserve(service_.sessions().size());
    for (const auto& [phone, session] : service_.sessions()) {
        terminals.push_back(
            {phone, session->peer(), session->plate(), DeviceFeed::lastReport(session->device())});
    }
    std::sort(terminals.begin(), terminals.end(),
              [](const OnlineEntry& a, const OnlineEntry& b) { return a.phone < b.phone; });
    return terminals;
}

}  // namespace center
