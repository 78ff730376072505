#include "center/proxy_header.h"

#include <algorithm>
#include <array>

namespace center {
namespace {

constexpr std::array<std::uint8_t, 12> kSignature = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                     0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};

ProxyHeader Invalid(std::string why) {
    ProxyHeader header;
    header.kind = ProxyHeader::Kind::Invalid;
    header.error = std::move(why);
    return header;
}

std::uint16_t Port(std::span<const std::uint8_t> two) {
    return static_cast<std::uint16_t>(two[0] << 8 | two[1]);
}

}  // namespace

ProxyHeader ParseProxyHeader(std::span<const std::uint8_t> bytes) {
    ProxyHeader header;
    const std::size_t known = std::min(bytes.size(), kSignature.size());
    if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(known),
                    kSignature.begin())) {
        return Invalid("no PROXY protocol v2 header (is the balancer set to send-proxy-v2?)");
    }
    if (bytes.size() < kProxyHeaderFixedBytes) {
        return header;
    }
    const std::uint8_t versionCommand = bytes[12];
    const std::uint8_t family = bytes[13];
    const std::size_t addressBytes = static_cast<std::size_t>(bytes[14] << 8 | bytes[15]);
    if (versionCommand >> 4 != 2) {
        return Invalid("PROXY protocol version " + std::to_string(versionCommand >> 4));
    }
    if ((versionCommand & 0x0F) > 1) {
        return Invalid("PROXY protocol command " + std::to_string(versionCommand & 0x0F));
    }
    header.length = kProxyHeaderFixedBytes + addressBytes;
    if (header.length > kProxyHeaderMaxBytes) {
        return Invalid("PROXY protocol header of " + std::to_string(header.length) + " bytes");
    }
    if (bytes.size() < header.length) {
        return header;
    }
    if ((versionCommand & 0x0F) == 0) {
        header.kind = ProxyHeader::Kind::Local;
        return header;
    }
    const auto addresses = bytes.subspan(kProxyHeaderFixedBytes, addressBytes);
    if (family == 0x11 && addressBytes >= 12) {  // TCP over IPv4
        asio::ip::address_v4::bytes_type ip{};
        std::copy_n(addresses.begin(), ip.size(), ip.begin());
        header.source = {asio::ip::address_v4(ip), Port(addresses.subspan(8, 2))};
    } else if (family == 0x21 && addressBytes >= 36) {  // TCP over IPv6
        asio::ip::address_v6::bytes_type ip{};
        std::copy_n(addresses.begin(), ip.size(), ip.begin());
        header.source = {asio::ip::address_v6(ip), Port(addresses.subspan(32, 2))};
    } else {
        return Invalid("PROXY protocol family " + std::to_string(family) + " with " +
                       std::to_string(addressBytes) + " address bytes");
    }
    header.kind = ProxyHeader::Kind::Proxied;
    return header;
}

}  // namespace center
