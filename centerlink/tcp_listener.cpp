#include "centerlink/tcp_listener.h"

#include <chrono>

namespace centerlink {

using asio::ip::tcp;

TcpListener::TcpListener(asio::io_context& io) : acceptor_(io), retry_(io) {}

asio::error_code TcpListener::open(const tcp::endpoint& endpoint) {
    asio::error_code ec;
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
        acceptor_.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    }
    return ec;
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
