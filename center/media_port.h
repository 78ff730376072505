#pragma once
// The terminals' audio and video port: stream packets over TCP (one
// connection per channel, as terminals open them) and over UDP (one packet
// per datagram), on the same port number. Each packet goes to a handler that
// says whether it belongs to a stream the center asked for; a TCP connection
// whose packets do not is closed, a datagram that does not is dropped.
//
// Thread: the center's io thread.

#include <array>
#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "centerlink/tcp_listener.h"
#include "jt1078/stream_packet.h"

namespace center {

struct MediaPortCounters {
    std::uint64_t connections = 0;
    std::uint64_t refusedConnections = 0;  // too many, or packets of no stream asked for
    std::uint64_t packets = 0;
    std::uint64_t refusedPackets = 0;
    std::uint64_t badBytes = 0;  // skipped on TCP, or datagrams that were no packet
};

class MediaPort {
public:
    using Log = std::function<void(const std::string&)>;
    // True when the packet belongs to a stream that was asked for.
    using PacketHandler = std::function<bool(const jt1078::Packet& packet)>;

    static constexpr std::size_t kMaxConnections = 4096;

    MediaPort(asio::io_context& io, Log log, PacketHandler onPacket = {});
    ~MediaPort();

    void setPacketHandler(PacketHandler onPacket) { onPacket_ = std::move(onPacket); }
    std::string open(const std::string& listen, int port);
    std::uint16_t port() const;
    void close();

    const MediaPortCounters& counters() const { return counters_; }

private:
    class Connection;
    friend class Connection;

    void accepted(asio::ip::tcp::socket socket);
    void receiveUdp();
    bool deliver(const jt1078::Packet& packet);
    void forget(const Connection* connection);
    void logRefusal(const std::string& line);

    asio::io_context& io_;
    centerlink::TcpListener listener_;
    asio::ip::udp::socket udp_;
    asio::ip::udp::endpoint udpPeer_;
    std::array<std::uint8_t, 2048> udpBuffer_{};
    Log log_;
    PacketHandler onPacket_;
    std::unordered_map<const Connection*, std::shared_ptr<Connection>> connections_;
    MediaPortCounters counters_;
    std::chrono::steady_clock::time_point lastRefusalLog_{};
};

}  // namespace center
