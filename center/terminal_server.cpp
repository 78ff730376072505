#include "center/terminal_server.h"

#include <algorithm>

#include "center/terminal_session.h"

namespace center {

using asio::ip::tcp;

TerminalServer::TerminalServer(asio::io_context& io, TerminalConfig config, Registry& registry,
                               DeviceFeed& feed, Log log)
    : io_(io),
      config_(std::move(config)),
      registry_(registry),
      feed_(feed),
      log_(std::move(log)),
      allowList_(config_.allowListPath),
      listener_(io) {}

TerminalServer::~TerminalServer() {
    close();
}

void TerminalServer::log(const std::string& line) const {
    if (log_) {
        log_(line);
    }
}

std::string TerminalServer::open() {
    if (std::string error = listener_.open(config_.listen, config_.port, "terminals");
        !error.empty()) {
        return error;
    }
    listener_.start([this](tcp::socket socket) { accepted(std::move(socket)); });
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
}

void TerminalServer::accepted(tcp::socket socket) {
    if (sessions_.size() >= config_.maxTerminals) {
        // Said once a minute at most: a flood must not flood the log.
        ++refusedConnections_;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastRefusalLog_ >= std::chrono::minutes(1)) {
            lastRefusalLog_ = now;
            log("connection refused: " + std::to_string(config_.maxTerminals) +
                " terminals are connected (" + std::to_string(refusedConnections_) +
                " refused so far)");
        }
        asio::error_code ec;
        socket.close(ec);
        return;
    }
    auto session = std::make_shared<TerminalSession>(*this, std::move(socket));
    sessions_.emplace(session.get(), session);
    session->start();
}

void TerminalServer::claim(const std::string& phone, TerminalSession* session) {
    auto& owner = byPhone_[phone];
    TerminalSession* previous = owner;
    owner = session;
    if (previous != nullptr && previous != session) {
        previous->close("terminal " + phone + " logged in on a new connection", true);
    }
}

bool TerminalServer::owns(const std::string& phone, const TerminalSession* session) const {
    const auto it = byPhone_.find(phone);
    return it != byPhone_.end() && it->second == session;
}

void TerminalServer::release(const std::string& phone, const TerminalSession* session) {
    if (owns(phone, session)) {
        byPhone_.erase(phone);
    }
}

void TerminalServer::forget(const TerminalSession* session) {
    sessions_.erase(session);
}

bool TerminalServer::sendToTerminal(const std::string& phone, std::uint16_t msgId,
                                    std::span<const std::uint8_t> body) {
    const auto it = byPhone_.find(phone);
    if (it == byPhone_.end()) {
        return false;
    }
    it->second->sendMessage(msgId, body);
    return true;
}

std::string TerminalServer::localAddressOf(const std::string& phone) const {
    const auto it = byPhone_.find(phone);
    return it == byPhone_.end() ? std::string() : it->second->localAddress();
}

std::vector<TerminalServer::OnlineTerminal> TerminalServer::onlineTerminals() const {
    std::vector<OnlineTerminal> terminals;
    terminals.reserve(byPhone_.size());
    for (const auto& [phone, session] : byPhone_) {
        terminals.push_back({phone, session->peer(), session->plate()});
    }
    std::sort(terminals.begin(), terminals.end(),
              [](const OnlineTerminal& a, const OnlineTerminal& b) { return a.phone < b.phone; });
    return terminals;
}

}  // namespace center
