#include "center/media_port.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "jt1078/stream_splitter.h"

namespace center {

using asio::ip::tcp;
using asio::ip::udp;

namespace {

// Reads of a connection's buffer in one turn.
constexpr int kMaxReadsAPass = 16;

// UDP sources share the id space with TCP connections (numbered from 1)
// through the top bit.
std::uint64_t udpSourceId(const udp::endpoint& endpoint) {
    constexpr std::uint64_t kUdp = std::uint64_t{1} << 63;
    const auto address = endpoint.address();
    if (address.is_v4()) {
        return kUdp | (std::uint64_t{address.to_v4().to_uint()} << 16) | endpoint.port();
    }
    return kUdp | (std::hash<std::string>{}(address.to_string()) << 16) | endpoint.port();
}

}  // namespace

class MediaPort::Connection final : public std::enable_shared_from_this<Connection>,
                                    public net::ReadinessSet::Reader {
public:
    Connection(MediaPort& port, tcp::socket socket, std::uint64_t id,
               centerlink::AddressSlots::Ticket unproven)
        : port_(port),
          socket_(std::move(socket)),
          timer_(port.io_),
          unproven_(std::move(unproven)) {
        asio::error_code ec;
        const auto endpoint = socket_.remote_endpoint(ec);
        source_.id = id;
        source_.address = ec ? std::string("?") : centerlink::addressKey(endpoint.address());
        peer_ = ec ? std::string("?") : source_.address + ":" + std::to_string(endpoint.port());
    }

    // False when the connection could not be watched (it is closed then).
    bool start() {
        lastTaken_ = std::chrono::steady_clock::now();
        asio::error_code ec;
        socket_.non_blocking(true, ec);
        if (ec || port_.readiness_.add(socket_.native_handle(), *this)) {
            close();
            return false;
        }
        watched_ = true;
        tick();
        return true;
    }

    std::uint64_t id() const { return source_.id; }

    void close() {
        if (closed_) {
            return;
        }
        closed_ = true;
        if (watched_) {
            port_.readiness_.remove(socket_.native_handle(), *this);
            watched_ = false;
        }
        asio::error_code ec;
        socket_.close(ec);
        timer_.cancel();
        unproven_.release();
    }

private:
    // The port's readiness set calls this at the end of the pass in which
    // bytes came, with what came while the thread lingered
    // (net/run_in_passes.h): a terminal writes a frame as several packets,
    // and a read of each as it comes (and its acknowledgement) cost the
    // center more than the frame itself. Reads everything there is, up to
    // a bound a turn so that one sender cannot hold the thread; true when
    // it stopped at the bound.
    bool readable(bool ended) override {
        // The port may let go of the connection in here.
        const auto self = shared_from_this();
        delayAcknowledgement();
        for (int round = 0; round < kMaxReadsAPass; ++round) {
            asio::error_code ec;
            const std::size_t n = socket_.read_some(asio::buffer(buffer_), ec);
            if (ec == asio::error::would_block || ec == asio::error::try_again) {
                return false;
            }
            if (ec) {
                close();
                port_.forget(this);
                return false;
            }
            onBytes(n);
            if (closed_) {
                port_.forget(this);
                return false;
            }
            if (n < buffer_.size() && !ended) {
                // Read empty: what comes next is a new edge.
                return false;
            }
        }
        return true;
    }

    // MediaPortConfig::delayedAcks. The kernel leaves delayed mode by
    // itself (a delayed acknowledgement that came due), so it is asked for
    // again before each read.
    void delayAcknowledgement() {
        if (!port_.config_.delayedAcks) {
            return;
        }
        const int off = 0;
        setsockopt(socket_.native_handle(), IPPROTO_TCP, TCP_QUICKACK, &off, sizeof off);
    }

    void tick() {
        timer_.expires_after(std::min<std::chrono::milliseconds>(
            port_.config_.idleLimit / 4 + std::chrono::milliseconds(1), std::chrono::seconds(1)));
        timer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (error || self->closed_) {
                return;
            }
            const auto limit = self->port_.config_.idleLimit;
            if (std::chrono::steady_clock::now() - self->lastTaken_ >= limit) {
                ++self->port_.counters_.refusedConnections;
                self->port_.refusal(self->source_.address,
                                    "media connection from " + self->peer_ +
                                        " closed: no packet of a stream the center asked for in " +
                                        std::to_string(limit.count()) + " ms");
                self->close();
                self->port_.forget(self.get());
                return;
            }
            self->tick();
        });
    }

    void onBytes(std::size_t n) {
        const std::uint64_t skippedBefore = splitter_.counters().skippedBytes;
        const char* refused = nullptr;
        splitter_.feed(std::span(buffer_.data(), n), [&](const jt1078::Packet& packet) {
            if (refused != nullptr) {
                return;
            }
            const MediaJudgement judgement = port_.deliver(packet, source_);
            if (judgement.verdict == MediaVerdict::Refused) {
                refused = judgement.why;
            } else if (judgement.verdict == MediaVerdict::Taken) {
                lastTaken_ = std::chrono::steady_clock::now();
                unproven_.release();
            }
        });
        port_.counters_.badBytes += splitter_.counters().skippedBytes - skippedBefore;
        if (refused != nullptr) {
            ++port_.counters_.refusedConnections;
            port_.refusal(source_.address,
                          "media connection from " + peer_ + " closed: " + std::string(refused));
            close();
        }
    }

    MediaPort& port_;
    tcp::socket socket_;
    asio::steady_timer timer_;
    centerlink::AddressSlots::Ticket unproven_;  // held until a packet is taken
    MediaSource source_;
    std::string peer_;
    std::array<std::uint8_t, 16384> buffer_{};
    jt1078::StreamSplitter splitter_;
    std::chrono::steady_clock::time_point lastTaken_;
    bool watched_ = false;  // in the port's readiness set
    bool closed_ = false;
};

MediaPort::MediaPort(asio::io_context& io, Log log, PacketHandler onPacket, MediaPortConfig config)
    : io_(io),
      config_(config),
      listener_(io),
      udp_(io),
      readiness_(io),
      log_(std::move(log)),
      onPacket_(std::move(onPacket)),
      unproven_(config.maxUnproven, config.maxUnprovenPerAddress),
      refusals_("refused media packets and connections", config.refusalLogPeriod, log_),
      summaryTimer_(io) {}

MediaPort::~MediaPort() {
    close();
}

std::string MediaPort::open(const std::string& listen, int port) {
    if (std::string error = listener_.open(listen, port, "media"); !error.empty()) {
        return error;
    }
    // UDP on the port TCP got (port 0 picks one for both).
    if (std::string error = centerlink::openUdp(udp_, listen, listener_.port(), "media");
        !error.empty()) {
        return error;
    }
    // Several channels of many terminals arrive at once.
    asio::error_code ec;
    udp_.set_option(asio::socket_base::receive_buffer_size(8 * 1024 * 1024), ec);
    listener_.start([this](tcp::socket socket) { accepted(std::move(socket)); });
    receiveUdp();
    summarise();
    return {};
}

std::uint16_t MediaPort::port() const {
    return listener_.port();
}

void MediaPort::close() {
    listener_.close();
    asio::error_code ec;
    udp_.close(ec);
    summaryTimer_.cancel();
    const auto connections = connections_;
    for (const auto& [key, c] : connections) {
        c->close();
    }
    connections_.clear();
}

void MediaPort::summarise() {
    summaryTimer_.expires_after(refusals_.period());
    summaryTimer_.async_wait([this](const asio::error_code& error) {
        if (error) {
            return;
        }
        refusals_.flush();
        summarise();
    });
}

void MediaPort::accepted(tcp::socket socket) {
    asio::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec) {
        return;  // gone already
    }
    const std::string address = centerlink::addressKey(endpoint.address());
    auto ticket = unproven_.take(address);
    if (connections_.size() >= config_.maxConnections || !ticket.held()) {
        ++counters_.refusedConnections;
        refusal(address, "media connection from " + address + " refused: " +
                             (ticket.held() ? std::to_string(config_.maxConnections) + " are open"
                                            : "too many without a stream asked for"));
        socket.close(ec);
        return;
    }
    ++counters_.connections;
    auto c = std::make_shared<Connection>(*this, std::move(socket), nextConnectionId_++,
                                          std::move(ticket));
    connections_[c.get()] = c;
    if (!c->start()) {
        connections_.erase(c.get());
    }
}

void MediaPort::receiveUdp() {
    udp_.async_receive_from(
        asio::buffer(udpBuffer_), udpPeer_, [this](const asio::error_code& error, std::size_t n) {
            if (error == asio::error::operation_aborted || !udp_.is_open()) {
                return;
            }
            if (!error) {
                const jt1078::DecodeResult r = jt1078::decodePacket(std::span(udpBuffer_.data(), n),
                                                                    jt1078::SimLayout::Auto, true);
                if (r.status == jt1078::DecodeStatus::Ok) {
                    const MediaSource source{centerlink::addressKey(udpPeer_.address()),
                                             udpSourceId(udpPeer_)};
                    const MediaJudgement judgement = deliver(r.packet, source);
                    if (judgement.verdict == MediaVerdict::Refused) {
                        refusal(source.address, "media datagram from " + source.address + ":" +
                                                    std::to_string(udpPeer_.port()) +
                                                    " dropped: " + judgement.why);
                    }
                } else {
                    counters_.badBytes += n;
                }
            }
            receiveUdp();
        });
}

MediaJudgement MediaPort::deliver(const jt1078::Packet& packet, const MediaSource& source) {
    ++counters_.packets;
    MediaJudgement judgement{MediaVerdict::Refused, "it sends a stream the center did not ask for"};
    if (onPacket_) {
        judgement = onPacket_(packet, source);
    }
    if (judgement.verdict == MediaVerdict::Refused) {
        ++counters_.refusedPackets;
    }
    return judgement;
}

void MediaPort::forget(const Connection* connection) {
    const auto it = connections_.find(connection);
    if (it == connections_.end()) {
        return;
    }
    if (sourceGone_) {
        // The connection's id, the one its packets carried.
        sourceGone_(it->second->id());
    }
    connections_.erase(it);
}

void MediaPort::refusal(const std::string& address, const std::string& line) {
    if (refusals_.count(address) && log_) {
        log_(line);
    }
}

}  // namespace center
