#include "center/terminal_server.h"

#include <algorithm>

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
      timeouts_(io, config_.heartbeatTimeout, config_.authTimeout) {}

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

void TerminalServer::accepted(tcp::socket socket) {
    if (sessions_.size() >= config_.maxTerminals) {
        refuseConnection(socket, std::to_string(config_.maxTerminals) + " terminals are connected");
        return;
    }
    asio::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec) {
        return;  // gone already
    }
    const std::string address = centerlink::addressKey(endpoint.address());
    auto ticket = unauthenticated_.take(address);
    if (!ticket.held()) {
        refuseConnection(
            socket, "too many connections not yet authenticated (" +
                        std::to_string(unauthenticated_.inUse()) + " in all, at most " +
                        std::to_string(unauthenticated_.perAddress()) + " from " + address + ")");
        return;
    }
    auto session = std::make_shared<TerminalSession>(
        io_, config_, service_, timeouts_, readBuffer_, std::move(socket), std::move(ticket),
        [this](const TerminalSession* gone) { sessions_.erase(gone); });
    sessions_.emplace(session.get(), session);
    session->start();
}

std::string TerminalServer::localAddressOf(const std::string& phone) const {
    const TerminalSession* session = service_.sessionOf(phone);
    return session == nullptr ? std::string() : session->localAddress();
}

std::vector<TerminalServer::OnlineTerminal> TerminalServer::onlineTerminals() const {
    std::vector<OnlineTerminal> terminals;
    terminals.reserve(service_.sessions().size());
    for (const auto& [phone, session] : service_.sessions()) {
        terminals.push_back(
            {phone, session->peer(), session->plate(), DeviceFeed::lastReport(session->device())});
    }
    std::sort(terminals.begin(), terminals.end(),
              [](const OnlineTerminal& a, const OnlineTerminal& b) { return a.phone < b.phone; });
    return terminals;
}

}  // namespace center
