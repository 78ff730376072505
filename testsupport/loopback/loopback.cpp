#include "testsupport/loopback/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <utility>

namespace testsim {
namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

std::uint16_t boundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

LineConnection::~LineConnection() {
    close();
}

LineConnection::LineConnection(LineConnection&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), buffer_(std::move(other.buffer_)) {}

LineConnection& LineConnection::operator=(LineConnection&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        buffer_ = std::move(other.buffer_);
    }
    return *this;
}

void LineConnection::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool LineConnection::send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::string> LineConnection::readLine(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        pollfd p{fd_, POLLIN, 0};
        if (fd_ < 0 || poll(&p, 1, remainingMs(deadline)) <= 0) {
            return std::nullopt;
        }
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

bool LineConnection::waitClosed(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        if (fd_ < 0 || poll(&p, 1, remainingMs(deadline)) <= 0) {
            return fd_ < 0;
        }
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return true;
        }
    }
}

RawListener::RawListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        listen(fd_, 16) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    port_ = boundPort(fd_);
}

RawListener::~RawListener() {
    close();
}

void RawListener::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

LineConnection RawListener::accept(std::chrono::milliseconds limit) {
    pollfd p{fd_, POLLIN, 0};
    if (fd_ < 0 || poll(&p, 1, static_cast<int>(limit.count())) <= 0) {
        return LineConnection();
    }
    return LineConnection(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

namespace {

// 127.0.0.1, or another loopback address, on `port`.
sockaddr_in loopbackAt(const std::string& address, std::uint16_t port) {
    sockaddr_in a = loopback(port);
    if (!address.empty()) {
        inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    }
    return a;
}

}  // namespace

LineConnection connectTo(std::uint16_t port, const std::string& from) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(port);
    const sockaddr_in local = loopbackAt(from, 0);
    if (fd < 0 ||
        (!from.empty() && bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) ||
        connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return LineConnection();
    }
    return LineConnection(fd);
}

std::uint16_t freePort() {
    RawListener probe;
    return probe.port();
}

BoundUdp bindLoopbackUdp(const std::string& address) {
    BoundUdp udp;
    udp.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopbackAt(address, 0);
    if (udp.fd < 0 || bind(udp.fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        if (udp.fd >= 0) {
            ::close(udp.fd);
        }
        throw std::runtime_error("cannot bind a UDP socket on loopback");
    }
    udp.port = boundPort(udp.fd);
    return udp;
}

}  // namespace testsim
