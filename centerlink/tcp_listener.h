#pragma once
// A listening TCP socket of a server: opening it, and accepting
// connections until it is closed. Shared by every TCP port the center and
// the simulator serve.
//
// Thread: one; every member and handler runs on the io_context's thread.

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace centerlink {

class TcpListener {
public:
    using OnAccepted = std::function<void(asio::ip::tcp::socket socket)>;

    explicit TcpListener(asio::io_context& io);
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Opens, binds (reusing the address, so that a restart finds the port
    // free) and listens; the error, none on success.
    asio::error_code open(const asio::ip::tcp::endpoint& endpoint);
    // The same for the --listen address and a port of `what` ("terminals",
    // "media", "event servers"): the line an operator reads, empty on success.
    std::string open(const std::string& listen, int port, std::string_view what);
    // Hands every connection to `onAccepted` until close().
    void start(OnAccepted onAccepted);
    void close();
    // The port bound; 0 when closed.
    std::uint16_t port() const;

private:
    void accept();

    asio::ip::tcp::acceptor acceptor_;
    // Out of file descriptors, the next accept waits on this rather than
    // spinning; a member, so that its handler never outlives the listener.
    asio::steady_timer retry_;
    OnAccepted onAccepted_;
};

// The --listen address, or the line that says why it is none.
asio::ip::address listenAddress(const std::string& listen, std::string& error);

// Opens and binds a UDP socket on the --listen address and `port` for `what`:
// the line an operator reads, empty on success.
std::string openUdp(asio::ip::udp::socket& socket, const std::string& listen, int port,
                    std::string_view what);

}  // namespace centerlink
