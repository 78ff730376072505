#pragma once
// The PROXY protocol version 2 header a load balancer (HAProxy with
// send-proxy-v2) puts before a connection's bytes: the address of the
// terminal it came from, so that per-address limits and the login back-off
// count terminals, not the balancer.

#include <asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace center {

// The fixed part: the signature, version and command, family, length.
inline constexpr std::size_t kProxyHeaderFixedBytes = 16;
// Addresses, and the TLVs some balancers add; more is refused.
inline constexpr std::size_t kProxyHeaderMaxBytes = kProxyHeaderFixedBytes + 512;

struct ProxyHeader {
    enum class Kind {
        Incomplete,  // `length` bytes are needed in all
        Invalid,     // `error` says why; the connection is to close
        Local,       // the balancer's own connection (a health check): no address
        Proxied,     // `source` is the terminal's
    };
    Kind kind = Kind::Incomplete;
    std::size_t length = kProxyHeaderFixedBytes;  // bytes the header takes
    asio::ip::tcp::endpoint source;
    std::string error;
};

ProxyHeader ParseProxyHeader(std::span<const std::uint8_t> bytes);

}  // namespace center
