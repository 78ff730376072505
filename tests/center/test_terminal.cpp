#include "tests/center/test_terminal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>

#include "jt808/general_response.h"
#include "jt808/message_ids.h"
#include "jt808/registration.h"

namespace centertest {

TestTerminal::TestTerminal(std::uint16_t port, std::string phone, jt808::Version version,
                           const std::string& from, const std::string& host)
    : phone_(std::move(phone)), version_(version) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!from.empty() && fd_ >= 0) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

TestTerminal::~TestTerminal() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool TestTerminal::sendRaw(std::span<const std::uint8_t> bytes) {
    std::size_t sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return fd_ >= 0;
}

bool TestTerminal::sendRawAndEnd(std::span<const std::uint8_t> bytes) {
    // Corked: the bytes and the end leave in one segment where they fit.
    const int on = 1;
    const int off = 0;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
    const bool sent = sendRaw(bytes) && ::shutdown(fd_, SHUT_WR) == 0;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
    return sent;
}

std::uint16_t TestTerminal::send(std::uint16_t msgId, std::span<const std::uint8_t> body) {
    jt808::Header h;
    h.msgId = msgId;
    h.version = version_;
    h.phone = phone_;
    h.serial = serial_++;
    sendRaw(jt808::encodeFrame(h, body));
    return h.serial;
}

std::optional<jt808::Message> TestTerminal::receive(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::uint8_t> frame;
    for (;;) {
        while (splitter_.next(frame) == jt808::FrameSplitter::Status::Frame) {
            auto decoded = jt808::decodeFrame(frame);
            if (decoded.ok()) {
                return decoded.message;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (fd_ < 0 || left.count() <= 0) {
            return std::nullopt;
        }
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        std::uint8_t buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return std::nullopt;
        }
        splitter_.append(std::span(buffer, static_cast<std::size_t>(n)));
    }
}

bool TestTerminal::waitClosed(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (fd_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        std::uint8_t buffer[4096];
        if (::recv(fd_, buffer, sizeof buffer, 0) <= 0) {
            return true;
        }
    }
    return true;
}

int TestTerminal::resultOf(std::uint16_t serial, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto m = receive(std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()));
        if (!m) {
            return -1;
        }
        if (m->header.msgId != jt808::msg::kPlatformResponse) {
            continue;
        }
        const auto r = jt808::parseGeneralResponse(m->body);
        if (r && r->serial == serial) {
            return r->result;
        }
    }
    return -1;
}

std::string TestTerminal::registerAs(const std::string& plate, int* result) {
    jt808::Registration reg;
    reg.province = 44;
    reg.city = 300;
    reg.makerId = "VARDO";
    reg.model = "VT-4";
    reg.terminalId = "T000001";
    reg.plateColour = 1;
    reg.plate = plate;
    const std::uint16_t serial =
        send(jt808::msg::kRegistration, jt808::encodeRegistration(reg, version_));
    if (result != nullptr) {
        *result = -1;
    }
    while (const auto m = receive()) {
        if (m->header.msgId != jt808::msg::kRegistrationResponse) {
            continue;
        }
        const auto answer = jt808::parseRegistrationResponse(m->body);
        if (answer && answer->serial == serial) {
            if (result != nullptr) {
                *result = answer->result;
            }
            return answer->result == 0 ? answer->authCode : std::string();
        }
    }
    return {};
}

int TestTerminal::authenticate(const std::string& code) {
    jt808::Authentication auth;
    auth.code = code;
    auth.imei = "860000000000001";
    auth.softwareVersion = "1.0";
    return resultOf(send(jt808::msg::kAuthentication, jt808::encodeAuthentication(auth, version_)));
}

int TestTerminal::report(const jt808::Location& location) {
    return resultOf(send(jt808::msg::kLocation, jt808::encodeLocation(location)));
}

jt808::Location makeLocation(double latitude, double longitude, double kmh, int course,
                             const std::string& time, std::uint32_t alarms) {
    jt808::Location l;
    l.alarm = alarms;
    l.status = jt808::status::kAcc | jt808::status::kLocated;
    if (latitude < 0) {
        l.status |= jt808::status::kSouth;
    }
    if (longitude < 0) {
        l.status |= jt808::status::kWest;
    }
    l.latitude = static_cast<std::uint32_t>(std::llround(std::fabs(latitude) * 1e6));
    l.longitude = static_cast<std::uint32_t>(std::llround(std::fabs(longitude) * 1e6));
    l.speed = static_cast<std::uint16_t>(std::lround(kmh * 10));
    l.direction = static_cast<std::uint16_t>(course);
    l.time = time;
    return l;
}

}  // namespace centertest
