#pragma once
// The terminals' audio and video port. Live media is not carried yet: the
// port is held (so that the address a site configures stays the same), and
// a connection to it is logged and closed.
//
// Thread: the center's io thread.

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <string>

namespace center {

class MediaPort {
public:
    using Log = std::function<void(const std::string&)>;

    MediaPort(asio::io_context& io, Log log) : acceptor_(io), log_(std::move(log)) {}

    std::string open(const std::string& listen, int port);
    std::uint16_t port() const;
    void close();

private:
    void accept();

    asio::ip::tcp::acceptor acceptor_;
    Log log_;
    bool logged_ = false;
};

}  // namespace center
