#include "sim/terminal/terminal_connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "jt808/message_ids.h"

namespace sim::terminal {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

TerminalConnection::TerminalConnection(std::string phone, jt808::Version version) {
    const std::size_t digits = jt808::phoneDigits(version);
    if (phone.size() < digits) {
        phone.insert(0, digits - phone.size(), '0');
    }
    header_.phone = std::move(phone);
    header_.version = version;
    header_.serial = 0;
}

TerminalConnection::~TerminalConnection() {
    close();
}

std::string TerminalConnection::connect(const std::string& host, std::uint16_t port,
                                        std::chrono::milliseconds timeout) {
    close();
    peerClosed_ = false;
    splitter_ = jt808::FrameSplitter();
    inbox_.clear();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        return host + ": " + gai_strerror(rc);
    }
    std::string error = "no address for " + host;
    const auto deadline = Clock::now() + timeout;
    for (addrinfo* a = found; a != nullptr && fd_ < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = std::strerror(errno);
            continue;
        }
        // Connect without blocking, so the time-out holds.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, msLeft(deadline)) == 1) {
                int soError = 0;
                socklen_t len = sizeof soError;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
                rc = soError == 0 ? 0 : -1;
                errno = soError;
            } else {
                errno = ETIMEDOUT;
            }
        }
        if (rc != 0) {
            error = host + ":" + service + ": " + std::strerror(errno);
            ::close(fd);
            continue;
        }
        fd_ = fd;
    }
    freeaddrinfo(found);
    return fd_ >= 0 ? std::string() : error;
}

void TerminalConnection::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool TerminalConnection::sendRaw(std::span<const std::uint8_t> bytes) {
    std::size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return false;
        }
    }
    return fd_ >= 0;
}

std::optional<std::uint16_t> TerminalConnection::send(std::uint16_t msgId,
                                                      std::span<const std::uint8_t> body) {
    jt808::Header h = header_;
    h.msgId = msgId;
    const std::uint16_t serial = header_.serial;
    if (body.size() <= jt808::kMaxBodyBytes) {
        header_.serial++;
        if (!sendRaw(jt808::encodeFrame(h, body))) {
            return std::nullopt;
        }
        return serial;
    }
    const auto frames = jt808::encodeSubpackaged(h, body);
    header_.serial = static_cast<std::uint16_t>(header_.serial + frames.size());
    for (const auto& frame : frames) {
        if (!sendRaw(frame)) {
            return std::nullopt;
        }
    }
    return serial;
}

std::optional<jt808::Message> TerminalConnection::receive(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (!inbox_.empty()) {
            jt808::Message m = std::move(inbox_.front());
            inbox_.erase(inbox_.begin());
            return m;
        }
        if (fd_ < 0 || peerClosed_) {
            return std::nullopt;
        }
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, msLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (n <= 0) {
            peerClosed_ = true;
            continue;
        }
        splitter_.append(std::span(buffer, static_cast<std::size_t>(n)));
        std::vector<std::uint8_t> frame;
        for (;;) {
            const auto st = splitter_.next(frame);
            if (st == jt808::FrameSplitter::Status::NeedMore) {
                break;
            }
            if (st == jt808::FrameSplitter::Status::TooLong) {
                ++badFrames_;
                continue;
            }
            auto decoded = jt808::decodeFrame(frame);
            if (decoded.ok()) {
                inbox_.push_back(std::move(*decoded.message));
            } else {
                ++badFrames_;
            }
        }
    }
}

std::optional<jt808::Message> TerminalConnection::receiveId(std::uint16_t msgId,
                                                            std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto m = receive(std::chrono::milliseconds(msLeft(deadline)));
        if (!m || m->header.msgId == msgId) {
            return m;
        }
    }
}

std::optional<jt808::RegistrationResponse> TerminalConnection::registerTerminal(
    const jt808::Registration& reg, std::chrono::milliseconds timeout) {
    const auto serial = send(jt808::msg::kRegistration, jt808::encodeRegistration(reg, version()));
    if (!serial) {
        return std::nullopt;
    }
    const auto deadline = Clock::now() + timeout;
    while (auto m = receiveId(jt808::msg::kRegistrationResponse,
                              std::chrono::milliseconds(msLeft(deadline)))) {
        auto response = jt808::parseRegistrationResponse(m->body);
        if (response && response->serial == *serial) {
            return *response;
        }
    }
    return std::nullopt;
}

std::optional<jt808::GeneralResponse> TerminalConnection::authenticate(
    const std::string& code, std::chrono::milliseconds timeout) {
    const auto serial =
        send(jt808::msg::kAuthentication,
             jt808::encodeAuthentication({code, "864990001234567", "sim-1.0"}, version()));
    if (!serial) {
        return std::nullopt;
    }
    const auto deadline = Clock::now() + timeout;
    while (auto m = receiveId(jt808::msg::kPlatformResponse,
                              std::chrono::milliseconds(msLeft(deadline)))) {
        auto response = jt808::parseGeneralResponse(m->body);
        if (response && response->serial == *serial &&
            response->msgId == jt808::msg::kAuthentication) {
            return *response;
        }
    }
    return std::nullopt;
}

}  // namespace sim::terminal
