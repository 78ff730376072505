#include "centerlink/datagram_batch.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

namespace centerlink {
namespace {

// Datagrams a sendmmsg call sends.
constexpr std::size_t kBatch = 64;

std::size_t datagramsIn(std::size_t bytes, std::size_t segment) {
    return (bytes + segment - 1) / segment;
}

}  // namespace

std::size_t DatagramBatch::send(asio::ip::udp::socket& socket, const asio::ip::udp::endpoint& to,
                                std::span<const std::uint8_t> datagrams, std::size_t segment) {
    if (datagrams.empty() || segment == 0) {
        return 0;
    }
    const int fd = socket.native_handle();
    const std::size_t perRun = std::clamp<std::size_t>(kMaxRunBytes / segment, 1, kMaxSegments);
    std::size_t at = 0;
    while (at < datagrams.size()) {
        const std::size_t run = std::min(datagrams.size() - at, perRun * segment);
        const auto bytes = datagrams.subspan(at, run);
        if (offload_ && run > segment) {
            bool unsupported = false;
            if (sendSegmented(fd, to, bytes, segment, unsupported)) {
                at += run;
                continue;
            }
            if (!unsupported) {
                // The buffer is full: the frame is lost whatever follows.
                return datagramsIn(datagrams.size() - at, segment);
            }
            offload_ = false;
        }
        const std::size_t sent = sendEach(fd, to, bytes, segment);
        if (sent < datagramsIn(run, segment)) {
            return datagramsIn(datagrams.size() - at, segment) - sent;
        }
        at += run;
    }
    return 0;
}

bool DatagramBatch::sendSegmented(int fd, const asio::ip::udp::endpoint& to,
                                  std::span<const std::uint8_t> bytes, std::size_t segment,
                                  bool& unsupported) {
    iovec vector{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(std::uint16_t))> control{};
    msghdr message{};
    message.msg_name = const_cast<sockaddr*>(to.data());
    message.msg_namelen = static_cast<socklen_t>(to.size());
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_UDP;
    header->cmsg_type = UDP_SEGMENT;
    header->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
    const auto size = static_cast<std::uint16_t>(segment);
    std::memcpy(CMSG_DATA(header), &size, sizeof size);
    if (sendmsg(fd, &message, MSG_DONTWAIT) >= 0) {
        return true;
    }
    // A kernel without it, or a route whose device cannot take it.
    unsupported = errno == EINVAL || errno == ENOPROTOOPT || errno == EOPNOTSUPP || errno == EIO;
    return false;
}

std::size_t DatagramBatch::sendEach(int fd, const asio::ip::udp::endpoint& to,
                                    std::span<const std::uint8_t> bytes, std::size_t segment) {
    std::array<mmsghdr, kBatch> messages{};
    std::array<iovec, kBatch> vectors{};
    std::size_t sent = 0;
    std::size_t at = 0;
    while (at < bytes.size()) {
        unsigned n = 0;
        for (; n < kBatch && at < bytes.size(); ++n) {
            const std::size_t size = std::min(segment, bytes.size() - at);
            vectors[n] = iovec{const_cast<std::uint8_t*>(bytes.data() + at), size};
            msghdr& m = messages[n].msg_hdr;
            m = msghdr{};
            m.msg_name = const_cast<sockaddr*>(to.data());
            m.msg_namelen = static_cast<socklen_t>(to.size());
            m.msg_iov = &vectors[n];
            m.msg_iovlen = 1;
            at += size;
        }
        const int done = sendmmsg(fd, messages.data(), n, MSG_DONTWAIT);
        if (done <= 0) {
            return sent;
        }
        sent += static_cast<std::size_t>(done);
        if (static_cast<unsigned>(done) < n) {
            return sent;
        }
    }
    return sent;
}

}  // namespace centerlink
