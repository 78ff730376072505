#include "vardoappcore/media_receiver.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/run_in_passes.h"
#include "protocol/media_datagram.h"
#include "vardoappcore/library_log.h"

namespace vardo {
namespace {

std::uint64_t assemblerKey(std::uint32_t stream, protocol::MediaKind kind) {
    return static_cast<std::uint64_t>(stream) * 2 + (kind == protocol::MediaKind::Audio ? 1 : 0);
}

void addCounters(AssemblerCounters& to, const AssemblerCounters& from) {
    to.delivered += from.delivered;
    to.incomplete += from.incomplete;
    to.late += from.late;
    to.duplicate += from.duplicate;
    to.inconsistent += from.inconsistent;
    to.outOfWindow += from.outOfWindow;
    to.restarts += from.restarts;
    to.evicted += from.evicted;
    to.missing += from.missing;
}

}  // namespace

MediaReceiver::MediaReceiver(asio::io_context& io, FrameHandler onFrame)
    : onFrame_(std::move(onFrame)), socket_(io), registerTimer_(io) {}

MediaReceiver::~MediaReceiver() {
    close();
}

void MediaReceiver::setServer(const asio::ip::udp::endpoint& server, protocol::MediaKey mediaKey,
                              const asio::ip::address& local) {
    if (socket_.is_open() && (server != server_ || local != local_)) {
        close();  // bound and connected elsewhere
    }
    server_ = server;
    local_ = local;
    mediaKey_ = mediaKey;
    haveServer_ = true;
}

bool MediaReceiver::bindAndConnect(asio::error_code& ec) {
    socket_.open(server_.protocol(), ec);
    if (ec) {
        return false;
    }
    const asio::ip::udp::endpoint anywhere(server_.protocol(), 0);
    const bool sameFamily = !local_.is_unspecified() && local_.is_v4() == server_.address().is_v4();
    socket_.bind(sameFamily ? asio::ip::udp::endpoint(local_, 0) : anywhere, ec);
    if (ec && sameFamily) {
        // The interface went away meanwhile: any address will do.
        ec.clear();
        socket_.close(ec);
        socket_.open(server_.protocol(), ec);
        if (!ec) {
            socket_.bind(anywhere, ec);
        }
    }
    if (!ec) {
        socket_.connect(server_, ec);
    }
    return !ec;
}

bool MediaReceiver::open() {
    if (!haveServer_) {
        return false;
    }
    if (!socket_.is_open()) {
        asio::error_code ec;
        if (!bindAndConnect(ec)) {
            logLine("cannot open a UDP socket for media from " + server_.address().to_string() +
                    " port " + std::to_string(server_.port()) + ": " + ec.message());
            socket_.close(ec);
            return false;
        }
        setReceiveBuffer();
        // Runs of datagrams come whole where the kernel can; a kernel
        // without it hands them one by one, as before.
        const int on = 1;
        setsockopt(socket_.native_handle(), SOL_UDP, UDP_GRO, &on, sizeof on);
        socket_.non_blocking(true, ec);
        ++epoch_;
        receive();
        armRegistration();
    }
    registerNow();
    return true;
}

void MediaReceiver::setReceiveBuffer() {
    // Frames of many channels come in bursts, and this thread may not run
    // for a while on a busy machine: the kernel keeps what fits in the
    // socket's buffer and drops the rest. A process allowed to (CAP_NET_ADMIN)
    // takes more than the system's limit for sockets, net.core.rmem_max.
    const int fd = socket_.native_handle();
    const int bytes = kReceiveBufferBytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

void MediaReceiver::registerNow() {
    if (!socket_.is_open()) {
        return;
    }
    const auto datagram = protocol::encodeRegister(mediaKey_);
    asio::error_code ec;
    socket_.send_to(asio::buffer(datagram), server_, 0, ec);
    // A lost or refused registration is repeated by the timer.
}

void MediaReceiver::armRegistration() {
    registerTimer_.expires_after(kRegisterInterval);
    registerTimer_.async_wait([this, epoch = epoch_](const asio::error_code& error) {
        if (error || epoch != epoch_ || !socket_.is_open()) {
            return;
        }
        registerNow();
        armRegistration();
    });
}

void MediaReceiver::close() {
    ++epoch_;
    asio::error_code ec;
    socket_.close(ec);
    registerTimer_.cancel();
}

void MediaReceiver::receive() {
    socket_.async_wait(asio::socket_base::wait_read,
                       [this, epoch = epoch_](const asio::error_code& error) {
                           if (epoch != epoch_ || error == asio::error::operation_aborted) {
                               return;
                           }
                           // Taken at the end of the pass, with what came
                           // while the thread lingered: one wake-up and a
                           // few system calls for the frames of every
                           // channel rather than for a frame or two.
                           net::AtEndOfPass(socket_.get_executor(), [this, epoch] { take(epoch); });
                       });
}

void MediaReceiver::take(std::uint64_t epoch) {
    if (epoch != epoch_) {
        return;
    }
    const bool empty = drain(epoch);
    if (epoch != epoch_) {
        return;
    }
    if (empty) {
        receive();
    } else {
        // The bound of a turn was reached with more there: the wait would
        // not end before another datagram came. The rest after the other
        // handlers' turn.
        asio::post(socket_.get_executor(), [this, epoch] { take(epoch); });
    }
}

bool MediaReceiver::drain(std::uint64_t epoch) {
    // Everything that is there, a batch a system call, before waiting
    // again; at most a bounded number, so that the control connection and
    // timers get their turn under a flood.
    if (buffers_.empty()) {
        buffers_.resize(kBatch * kSlotBytes);
    }
    std::array<mmsghdr, kBatch> headers{};
    std::array<iovec, kBatch> vectors{};
    std::array<sockaddr_storage, kBatch> senders{};
    struct alignas(cmsghdr) Control {
        std::array<char, CMSG_SPACE(sizeof(int))> bytes;
    };
    std::array<Control, kBatch> controls{};
    for (std::size_t i = 0; i < kBatch; ++i) {
        vectors[i] = iovec{buffers_.data() + i * kSlotBytes, kSlotBytes};
        headers[i].msg_hdr.msg_iov = &vectors[i];
        headers[i].msg_hdr.msg_iovlen = 1;
        headers[i].msg_hdr.msg_name = &senders[i];
    }
    for (int round = 0; round < 64; ++round) {
        for (std::size_t i = 0; i < kBatch; ++i) {
            headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
            headers[i].msg_hdr.msg_control = controls[i].bytes.data();
            headers[i].msg_hdr.msg_controllen = controls[i].bytes.size();
        }
        const int n =
            recvmmsg(socket_.native_handle(), headers.data(), kBatch, MSG_DONTWAIT, nullptr);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // The error of an earlier send (the server's port closed for a
            // moment), now taken: datagrams behind it are still to read.
            continue;
        }
        if (n <= 0) {
            return true;  // read empty: the next datagram ends the wait
        }
        for (int i = 0; i < n; ++i) {
            const auto index = static_cast<std::size_t>(i);
            msghdr& message = headers[index].msg_hdr;
            if (!fromServer(senders[index], message.msg_namelen)) {
                ++counters_.datagrams;
                ++counters_.strangers;
                continue;
            }
            std::size_t segment = 0;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
                    int size = 0;
                    std::memcpy(&size, CMSG_DATA(c), sizeof size);
                    segment = size > 0 ? static_cast<std::size_t>(size) : 0;
                }
            }
            onMessage(std::span(buffers_.data() + index * kSlotBytes, headers[index].msg_len),
                      segment);
            if (epoch != epoch_) {
                return true;  // a handler closed the socket
            }
        }
        if (static_cast<std::size_t>(n) < kBatch) {
            return true;
        }
    }
    return false;
}

void MediaReceiver::onMessage(std::span<const std::uint8_t> bytes, std::size_t segment) {
    if (segment == 0 || segment >= bytes.size()) {
        ++counters_.datagrams;
        onDatagram(bytes);
        return;
    }
    const std::uint64_t epoch = epoch_;
    for (std::size_t at = 0; at < bytes.size() && epoch == epoch_; at += segment) {
        ++counters_.datagrams;
        onDatagram(bytes.subspan(at, std::min(segment, bytes.size() - at)));
    }
}

bool MediaReceiver::fromServer(const sockaddr_storage& sender, socklen_t length) const {
    asio::ip::udp::endpoint from;
    if (length > from.capacity()) {
        return false;
    }
    std::memcpy(from.data(), &sender, length);
    from.resize(length);
    return from == server_;
}

void MediaReceiver::onDatagram(std::span<const std::uint8_t> bytes) {
    const auto decoded = protocol::decodeMediaDatagram(bytes);
    if (!decoded.datagram) {
        ++counters_.rejected;
        return;
    }
    const protocol::MediaHeader& header = decoded.datagram->header;
    if (!streams_.contains(header.stream)) {
        ++counters_.unknownStream;
        return;
    }
    FrameAssembler& assembler =
        assemblers_
            .try_emplace(assemblerKey(header.stream, header.kind), AssemblerLimits{}, &memory_)
            .first->second;
    if (auto frame = assembler.add(header, decoded.datagram->payload)) {
        onFrame_(std::move(*frame));
    }
}

void MediaReceiver::openStream(std::uint32_t stream) {
    streams_.insert(stream);
}

void MediaReceiver::retire(FrameAssembler& assembler) {
    addCounters(retired_, assembler.counters());
}

void MediaReceiver::closeStream(std::uint32_t stream) {
    streams_.erase(stream);
    for (const auto kind : {protocol::MediaKind::Video, protocol::MediaKind::Audio}) {
        if (const auto it = assemblers_.find(assemblerKey(stream, kind)); it != assemblers_.end()) {
            retire(it->second);
            assemblers_.erase(it);
        }
    }
}

void MediaReceiver::closeAllStreams() {
    for (auto& [key, assembler] : assemblers_) {
        retire(assembler);
    }
    assemblers_.clear();
    streams_.clear();
}

ReceiverCounters MediaReceiver::counters() const {
    ReceiverCounters c = counters_;
    c.frames = retired_;
    for (const auto& [key, assembler] : assemblers_) {
        addCounters(c.frames, assembler.counters());
    }
    return c;
}

std::uint16_t MediaReceiver::localPort() const {
    asio::error_code ec;
    return socket_.local_endpoint(ec).port();
}

}  // namespace vardo
