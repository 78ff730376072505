// A frame's datagrams sent in a few calls arrive as the receiver expects
// them: every one whole, in order, each its own datagram, whether the kernel
// segments them (and whether the receiver takes runs of them whole) or
// sendmmsg sends them one by one.

#include "centerlink/datagram_batch.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <numeric>
#include <vector>

#include "protocol/media_datagram.h"
#include "testsupport/loopback/loopback.h"

namespace centerlink {
namespace {

namespace protocol = vardo::protocol;
using Bytes = std::vector<std::uint8_t>;

// Every datagram that is there within a moment, a run taken whole split at
// its segment size.
std::vector<Bytes> receiveAll(int fd) {
    std::vector<Bytes> out;
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 500) <= 0) {
            return out;
        }
        iovec vector{buffer.data(), buffer.size()};
        alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
        msghdr message{};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        const ssize_t n = recvmsg(fd, &message, 0);
        if (n < 0) {
            return out;
        }
        std::size_t segment = static_cast<std::size_t>(n);
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
                int size = 0;
                std::memcpy(&size, CMSG_DATA(c), sizeof size);
                segment = static_cast<std::size_t>(size);
            }
        }
        for (std::size_t at = 0; at < static_cast<std::size_t>(n); at += segment) {
            const std::size_t size = std::min(segment, static_cast<std::size_t>(n) - at);
            out.emplace_back(buffer.begin() + static_cast<std::ptrdiff_t>(at),
                             buffer.begin() + static_cast<std::ptrdiff_t>(at + size));
        }
    }
}

TEST(DatagramBatchTest, EveryDatagramArrivesWholeAndInOrder) {
    // A key frame of 52 datagrams, two runs: as much as a socket's default
    // buffer surely holds until it is read.
    Bytes frame(70'000);
    std::iota(frame.begin(), frame.end(), 0);
    const struct {
        const char* name;
        bool offload;
        bool receiveRuns;  // the receiving socket takes runs whole
    } cases[] = {
        {"segmented", true, false},
        {"segmented, taken whole", true, true},
        {"sendmmsg", false, false},
    };
    for (const auto& c : cases) {
        const testsim::BoundUdp receiver = testsim::bindLoopbackUdp();
        if (c.receiveRuns) {
            const int on = 1;
            setsockopt(receiver.fd, SOL_UDP, UDP_GRO, &on, sizeof on);
        }
        asio::io_context io;
        asio::ip::udp::socket socket(io, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
        const asio::ip::udp::endpoint to(asio::ip::address_v4::loopback(), receiver.port);
        DatagramBatch batch;
        if (!c.offload) {
            batch.disableOffload();
        }
        std::vector<Bytes> sent;
        for (const std::size_t size : {frame.size(), std::size_t{320}, std::size_t{2800}}) {
            const auto packed = protocol::packFrame(protocol::MediaKind::Video, 7, 1, 0,
                                                    std::span(frame).first(size));
            EXPECT_EQ(batch.send(socket, to, packed.bytes, protocol::kMaxDatagramBytes), 0u)
                << c.name;
            for (std::size_t i = 0; i < packed.count; ++i) {
                sent.emplace_back(packed.at(i).begin(), packed.at(i).end());
            }
        }
        EXPECT_EQ(batch.offload(), c.offload) << c.name << ": this kernel segments";
        const std::vector<Bytes> got = receiveAll(receiver.fd);
        EXPECT_EQ(got.size(), sent.size()) << c.name;
        EXPECT_TRUE(got == sent) << c.name;
        close(receiver.fd);
    }
}

}  // namespace
}  // namespace centerlink
