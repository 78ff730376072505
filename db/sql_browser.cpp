#include "db/sql_browser.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <vector>

#include "text/ascii.h"

namespace db {
namespace {

constexpr unsigned char kUnicastInstanceRequest = 0x04;
constexpr unsigned char kServerResponse = 0x05;
constexpr int kUnboundedLookupSeconds = 15;

std::vector<std::string_view> Split(std::string_view s, std::string_view sep) {
    std::vector<std::string_view> parts;
    while (true) {
        const auto at = s.find(sep);
        parts.push_back(s.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        s.remove_prefix(at + sep.size());
    }
}

struct Socket {
    int fd = -1;
    ~Socket() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

}  // namespace

// The reply: 0x05, the length of the text (16 bits, little-endian), then the
// text, one record per instance, each ending in ";;":
//   ServerName;DB1;InstanceName;SITE;IsClustered;No;Version;15.0.2000.5;tcp;49703;;
std::optional<int> InstancePortFromBrowserReply(std::span<const unsigned char> reply,
                                                std::string_view instance, std::string& why) {
    if (reply.size() < 3 || reply[0] != kServerResponse) {
        why = "the browser service sent something that is not a reply";
        return std::nullopt;
    }
    const std::size_t size = reply[1] | (std::size_t{reply[2]} << 8);
    if (size > reply.size() - 3) {
        why = "the browser service's reply is cut short";
        return std::nullopt;
    }
    const std::string_view text(reinterpret_cast<const char*>(reply.data() + 3), size);
    std::string names;
    for (std::string_view record : Split(text, ";;")) {
        const auto tokens = Split(record, ";");
        std::string_view name;
        std::optional<std::string_view> tcp;
        for (std::size_t i = 0; i + 1 < tokens.size(); i += 2) {
            if (text::EqualsIgnoringCase(tokens[i], "InstanceName")) {
                name = tokens[i + 1];
            } else if (text::EqualsIgnoringCase(tokens[i], "tcp")) {
                tcp = tokens[i + 1];
            }
        }
        if (name.empty()) {
            continue;
        }
        if (!text::EqualsIgnoringCase(name, instance)) {
            names += (names.empty() ? "" : ", ") + std::string(name);
            continue;
        }
        int port = 0;
        if (!tcp) {
            why = "the instance " + std::string(instance) + " does not accept TCP connections";
            return std::nullopt;
        }
        const auto r = std::from_chars(tcp->data(), tcp->data() + tcp->size(), port);
        if (r.ec != std::errc{} || r.ptr != tcp->data() + tcp->size() || port < 1 || port > 65535) {
            why = "the browser service gave the port '" + std::string(*tcp) + "' for " +
                  std::string(instance);
            return std::nullopt;
        }
        return port;
    }
    why = "the server has no instance " + std::string(instance) +
          (names.empty() ? std::string() : " (it has " + names + ")");
    return std::nullopt;
}

InstancePortLookup LookUpInstancePort(const std::string& host, const std::string& instance,
                                      int timeoutSeconds, int browserPort) {
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() +
        std::chrono::seconds(timeoutSeconds > 0 ? timeoutSeconds : kUnboundedLookupSeconds);
    const std::string where = "the SQL Server browser service of " + host + " (UDP port " +
                              std::to_string(browserPort) + ")";
    InstancePortLookup result;
    if (instance.empty() || instance.size() > 32) {
        result.error = "the instance name '" + instance + "' must have 1 to 32 characters";
        return result;
    }

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(browserPort).c_str(), &hints, &found);
    if (rc != 0 || found == nullptr) {
        result.error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
        return result;
    }
    Socket sock;
    sock.fd = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    std::vector<unsigned char> target(found->ai_addrlen);
    std::copy_n(reinterpret_cast<const unsigned char*>(found->ai_addr), found->ai_addrlen,
                target.begin());
    const socklen_t targetLen = found->ai_addrlen;
    ::freeaddrinfo(found);
    if (sock.fd < 0) {
        result.error = "cannot open a UDP socket";
        return result;
    }

    std::vector<unsigned char> request;
    request.push_back(kUnicastInstanceRequest);
    request.insert(request.end(), instance.begin(), instance.end());
    request.push_back(0);
    std::array<unsigned char, 65536> reply{};
    std::string why;
    auto nextSend = Clock::now();
    while (true) {
        const auto now = Clock::now();
        if (now >= deadline) {
            break;
        }
        if (now >= nextSend) {
            ::sendto(sock.fd, request.data(), request.size(), 0,
                     reinterpret_cast<const sockaddr*>(target.data()), targetLen);
            nextSend = now + std::chrono::seconds(1);
        }
        const auto wait = std::min(deadline, nextSend) - Clock::now();
        pollfd pfd{sock.fd, POLLIN, 0};
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wait).count();
        if (::poll(&pfd, 1, static_cast<int>(std::max<long long>(ms, 1))) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(sock.fd, reply.data(), reply.size(), 0);
        if (n <= 0) {
            continue;  // e.g. ICMP port unreachable; ask again
        }
        if (auto port = InstancePortFromBrowserReply(
                std::span(reply.data(), static_cast<std::size_t>(n)), instance, why)) {
            result.port = *port;
            return result;
        }
        result.error = where + ": " + why;
        return result;
    }
    result.error = where + " did not answer for the instance " + instance;
    return result;
}

}  // namespace db
