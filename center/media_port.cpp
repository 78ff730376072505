#include "center/media_port.h"

namespace center {

using asio::ip::tcp;

std::string MediaPort::open(const std::string& listen, int port) {
    asio::error_code ec;
    const auto address = asio::ip::make_address(listen, ec);
    if (ec) {
        return "--listen: '" + listen + "' is not an IP address";
    }
    const tcp::endpoint endpoint(address, static_cast<std::uint16_t>(port));
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) {
        acceptor_.set_option(tcp::acceptor::reuse_address(true), ec);
        acceptor_.bind(endpoint, ec);
    }
    if (!ec) {
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        return "cannot listen on " + listen + " TCP port " + std::to_string(port) +
               " for media: " + ec.message();
    }
    accept();
    return {};
}

std::uint16_t MediaPort::port() const {
    asio::error_code ec;
    return acceptor_.local_endpoint(ec).port();
}

void MediaPort::close() {
    asio::error_code ec;
    acceptor_.close(ec);
}

void MediaPort::accept() {
    acceptor_.async_accept([this](const asio::error_code& error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
            return;
        }
        if (!error) {
            if (!logged_ && log_) {
                logged_ = true;
                log_("media connection refused: this center does not carry live media yet");
            }
            asio::error_code ec;
            socket.close(ec);
        }
        accept();
    });
}

}  // namespace center
