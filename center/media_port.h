#pragma once
// The terminals' audio and video port: stream packets over TCP (one
// connection per channel, as terminals open them) and over UDP (one packet
// per datagram), on the same port number. Each packet goes to a handler that
// judges it (media_source.h); a TCP connection with a refused packet is
// closed, a refused datagram dropped.
//
// Anyone can reach this port: a connection that has not delivered a packet
// of a stream the center asked for is one of few from its address, and is
// closed when no such packet came for a while. Refusals are summed up in the
// log per address.
//
// Thread: the center's io thread.

#include <array>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "center/media_source.h"
#include "centerlink/address_guard.h"
#include "centerlink/tcp_listener.h"
#include "jt1078/stream_packet.h"
#include "net/readiness_set.h"

namespace center {

struct MediaPortCounters {
    std::uint64_t connections = 0;
    std::uint64_t refusedConnections = 0;  // too many, idle, or packets of no stream asked for
    std::uint64_t packets = 0;
    std::uint64_t refusedPackets = 0;
    std::uint64_t badBytes = 0;  // skipped on TCP, or datagrams that were no packet
};

struct MediaPortConfig {
    std::size_t maxConnections = 4096;
    // Connections without a packet of a stream asked for yet.
    std::size_t maxUnproven = 256;
    std::size_t maxUnprovenPerAddress = 16;
    // A connection without a packet of a stream asked for for this long is
    // closed.
    std::chrono::milliseconds idleLimit{10'000};
    std::chrono::milliseconds refusalLogPeriod{60'000};
    // A terminal's stream flows one way: acknowledged the way a bulk
    // stream is (every other full segment, or after the kernel's delayed
    // acknowledgement timer), not at every read that empties a small pushed
    // segment, which sends a packet back for each of a camera's writes. A
    // terminal that holds small writes back until the last is acknowledged
    // (Nagle's algorithm) may then send a frame up to that timer later, 40
    // ms on Linux.
    bool delayedAcks = true;
};

class MediaPort {
public:
    using Log = std::function<void(const std::string&)>;
    using PacketHandler =
        std::function<MediaJudgement(const jt1078::Packet& packet, const MediaSource& source)>;
    // A source's connection closed: streams bound to it are free again.
    using SourceGone = std::function<void(std::uint64_t id)>;

    MediaPort(asio::io_context& io, Log log, PacketHandler onPacket = {},
              MediaPortConfig config = {});
    ~MediaPort();

    void setPacketHandler(PacketHandler onPacket) { onPacket_ = std::move(onPacket); }
    void setSourceGone(SourceGone gone) { sourceGone_ = std::move(gone); }
    std::string open(const std::string& listen, int port);
    std::uint16_t port() const;
    void close();

    const MediaPortCounters& counters() const { return counters_; }
    std::size_t connections() const { return connections_.size(); }

private:
    class Connection;

    void accepted(asio::ip::tcp::socket socket);
    void receiveUdp();
    MediaJudgement deliver(const jt1078::Packet& packet, const MediaSource& source);
    void forget(const Connection* connection);
    // Counted per address; the first few said, the rest summed up.
    void refusal(const std::string& address, const std::string& line);
    void summarise();

    asio::io_context& io_;
    MediaPortConfig config_;
    centerlink::TcpListener listener_;
    asio::ip::udp::socket udp_;
    // The media connections' reads (net/readiness_set.h).
    net::ReadinessSet readiness_;
    asio::ip::udp::endpoint udpPeer_;
    std::array<std::uint8_t, 2048> udpBuffer_{};
    Log log_;
    PacketHandler onPacket_;
    SourceGone sourceGone_;
    std::unordered_map<const Connection*, std::shared_ptr<Connection>> connections_;
    centerlink::AddressSlots unproven_;
    centerlink::RefusalSummary refusals_;
    asio::steady_timer summaryTimer_;
    std::uint64_t nextConnectionId_ = 1;
    MediaPortCounters counters_;
};

}  // namespace center
