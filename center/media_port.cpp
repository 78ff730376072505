#include "center/media_port.h"

#include "jt1078/stream_splitter.h"

namespace center {

using asio::ip::tcp;
using asio::ip::udp;

class MediaPort::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(MediaPort& port, tcp::socket socket) : port_(port), socket_(std::move(socket)) {
        asio::error_code ec;
        const auto endpoint = socket_.remote_endpoint(ec);
        peer_ = ec ? std::string("?")
                   : endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
    }

    void start() { read(); }

    void close() {
        if (closed_) {
            return;
        }
        closed_ = true;
        asio::error_code ec;
        socket_.close(ec);
    }

private:
    void read() {
        socket_.async_read_some(
            asio::buffer(buffer_),
            [self = shared_from_this()](const asio::error_code& error, std::size_t n) {
                if (self->closed_) {
                    return;
                }
                if (error) {
                    self->close();
                    self->port_.forget(self.get());
                    return;
                }
                self->onBytes(n);
                if (self->closed_) {
                    self->port_.forget(self.get());
                    return;
                }
                self->read();
            });
    }

    void onBytes(std::size_t n) {
        const std::uint64_t skippedBefore = splitter_.counters().skippedBytes;
        bool refused = false;
        splitter_.feed(std::span(buffer_.data(), n), [&](const jt1078::Packet& packet) {
            if (!refused && !port_.deliver(packet)) {
                refused = true;
            }
        });
        port_.counters_.badBytes += splitter_.counters().skippedBytes - skippedBefore;
        if (refused) {
            ++port_.counters_.refusedConnections;
            port_.logRefusal("media connection from " + peer_ +
                             " closed: it sends a stream the center did not ask for");
            close();
        }
    }

    MediaPort& port_;
    tcp::socket socket_;
    std::string peer_;
    std::array<std::uint8_t, 16384> buffer_{};
    jt1078::StreamSplitter splitter_;
    bool closed_ = false;
};

MediaPort::MediaPort(asio::io_context& io, Log log, PacketHandler onPacket)
    : io_(io), listener_(io), udp_(io), log_(std::move(log)), onPacket_(std::move(onPacket)) {}

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
    return {};
}

std::uint16_t MediaPort::port() const {
    return listener_.port();
}

void MediaPort::close() {
    listener_.close();
    asio::error_code ec;
    udp_.close(ec);
    const auto connections = connections_;
    for (const auto& [key, c] : connections) {
        c->close();
    }
    connections_.clear();
}

void MediaPort::accepted(tcp::socket socket) {
    if (connections_.size() >= kMaxConnections) {
        ++counters_.refusedConnections;
        logRefusal("media connection refused: " + std::to_string(kMaxConnections) + " are open");
        asio::error_code ec;
        socket.close(ec);
        return;
    }
    ++counters_.connections;
    auto c = std::make_shared<Connection>(*this, std::move(socket));
    connections_[c.get()] = c;
    c->start();
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
                    deliver(r.packet);
                } else {
                    counters_.badBytes += n;
                }
            }
            receiveUdp();
        });
}

bool MediaPort::deliver(const jt1078::Packet& packet) {
    ++counters_.packets;
    if (onPacket_ && onPacket_(packet)) {
        return true;
    }
    ++counters_.refusedPackets;
    return false;
}

void MediaPort::forget(const Connection* connection) {
    connections_.erase(connection);
}

void MediaPort::logRefusal(const std::string& line) {
    // At most one line a minute: a flood must not fill the log.
    const auto now = std::chrono::steady_clock::now();
    if (log_ && now - lastRefusalLog_ >= std::chrono::minutes(1)) {
        lastRefusalLog_ = now;
        log_(line);
    }
}

}  // namespace center
