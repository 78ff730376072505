#include "centerlink/tcp_listener.h"

#include <chrono>

namespace centerlink {

using asio::ip::tcp;

namespace {
constexpr int kListenQueue = 65535;
}  // namespace

TcpListener::TcpListener(asio::io_context& io) : acceptor_(io), retry_(io) {}

asio::error_code TcpListener::open(const tcp::endpoint& endpoint) {
    asio::error_code ec;
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
        acceptor_.bind(endpoint, ec);
    }
    if (!ec) {
        // The kernel cuts the queue to net.core.somaxconn, so asking for
        // more lets a site that raised it (a fleet reconnecting at once after
        // a restart) use all of it; SOMAXCONN would cap it at 4,096.
        acceptor_.listen(kListenQueue, ec);
    }
    return ec;
}

std::string TcpListener::open(const std::string& listen, int port, std::string_view what) {
    std::string error;
    const auto address = listenAddress(listen, error);
    if (!error.empty()) {
        return error;
    }
    if (const auto ec = open(tcp::endpoint(address, static_cast<std::uint16_t>(port)))) {
        return "cannot listen on " + listen + " TCP port " + std::to_string(port) + " for " +
               std::string(what) + ": " + ec.message();
    }
    return {};
}

asio::ip::address listenAddress(const std::string& listen, std::string& error) {
    asio::error_code ec;
    const auto address = asio::ip::make_address(listen, ec);
    if (ec) {
        error = "--listen: '" + listen + "' is not an IP address";
    }
    return address;
}

std::string openUdp(asio::ip::udp::socket& socket, const std::string& listen, int port,
                    std::string_view what) {
    std::string error;
    const auto address = listenAddress(listen, error);
    if (!error.empty()) {
        return error;
    }
    const asio::ip::udp::endpoint endpoint(address, static_cast<std::uint16_t>(port));
    asio::error_code ec;
    socket.open(endpoint.protocol(), ec);
    if (!ec) {
        socket.bind(endpoint, ec);
    }
    if (ec) {
        asio::error_code ignored;
        socket.close(ignored);
        return "cannot open " + listen + " UDP port " + std::to_string(port) + " for " +
               std::string(what) + ": " + ec.message();
    }
    return {};
}

void TcpListener::start(OnAccepted onAccepted) {
    onAccepted_ = std::move(onAccepted);
    accept();
}

void TcpListener::close() {
    asio::error_code ec;
    acceptor_.close(ec);
    retry_.cancel();
}

std::uint16_t TcpListener::port() const {
    asio::error_code ec;
    return acceptor_.local_endpoint(ec).port();
}

void TcpListener::accept() {
    acceptor_.async_accept([this](const asio::error_code& error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        if (!error) {
            onAccepted_(std::move(socket));
        } else if (error == asio::error::no_descriptors) {
            retry_.expires_after(std::chrono::milliseconds(100));
            retry_.async_wait([this](const asio::error_code& waited) {
                if (!waited && acceptor_.is_open()) {
                    accept();
                }
            });
            return;
        }
        accept();
    });
}

}  // namespace centerlink
