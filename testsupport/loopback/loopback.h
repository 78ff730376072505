#pragma once
// Plain blocking loopback sockets for tests that play one side of the center
// protocol by hand: a listening socket that accepts and does only what the
// test says, a line-oriented connection, and a bound UDP socket.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace testsim {

using namespace std::chrono_literals;

class LineConnection {
public:
    explicit LineConnection(int fd = -1) : fd_(fd) {}
    ~LineConnection();
    LineConnection(LineConnection&& other) noexcept;
    LineConnection& operator=(LineConnection&& other) noexcept;

    bool valid() const { return fd_ >= 0; }
    // The socket, for a test that moves bytes itself; still owned here.
    int fd() const { return fd_; }
    // Sends the bytes as they are (add the '\n' yourself).
    bool send(const std::string& bytes);
    // The next line without its '\n'; nothing at the deadline or when closed.
    std::optional<std::string> readLine(std::chrono::milliseconds limit = 10s);
    // True once the peer has closed (what it sends meanwhile is skipped).
    bool waitClosed(std::chrono::milliseconds limit = 10s);
    void close();

private:
    int fd_ = -1;
    std::string buffer_;
};

class RawListener {
public:
    RawListener();  // 127.0.0.1, any free port
    ~RawListener();
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    std::uint16_t port() const { return port_; }
    // The next connection; invalid at the deadline.
    LineConnection accept(std::chrono::milliseconds limit = 10s);
    void close();

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// To 127.0.0.1:port; `from` (127.0.0.2 plays a stranger's machine) is the
// local address, 127.0.0.1 when not given. Invalid when refused.
LineConnection connectTo(std::uint16_t port, const std::string& from = {});

// A TCP port that was free a moment ago.
std::uint16_t freePort();

// A UDP socket bound to 127.0.0.1 (or `address`) on a free port, for a test that plays a
// datagram peer; the caller closes it. Throws when the system gives none.
struct BoundUdp {
    int fd = -1;
    std::uint16_t port = 0;
};
BoundUdp bindLoopbackUdp(const std::string& address = "127.0.0.1");

}  // namespace testsim
