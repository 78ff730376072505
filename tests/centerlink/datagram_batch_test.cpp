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

std::size_t datagramsOf(std::size_t frameBytes) {
    return protocol::packFrame(protocol::MediaKind::Video, 7, 0, 0, Bytes(frameBytes)).count;
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

// Frames queued in a pass leave at its end, not before: to two receivers,
// several frames each, every datagram whole and in order, with and without
// segmentation. Queued on a socket closed before the end, they are counted
// as lost.
TEST(DatagramBatchTest, FramesQueuedInAPassLeaveTogetherAtItsEnd) {
    Bytes frame(9'000);
    std::iota(frame.begin(), frame.end(), 0);
    for (const bool offload : {true, false}) {
        const testsim::BoundUdp first = testsim::bindLoopbackUdp();
        const testsim::BoundUdp second = testsim::bindLoopbackUdp();
        asio::io_context io;
        asio::ip::udp::socket socket(io, asio::ip::udp::endpoint(asio::ip::udp::v4(), 0));
        const asio::ip::udp::endpoint toFirst(asio::ip::address_v4::loopback(), first.port);
        const asio::ip::udp::endpoint toSecond(asio::ip::address_v4::loopback(), second.port);
        DatagramBatch batch;
        if (!offload) {
            batch.disableOffload();
        }
        std::vector<Bytes> sentFirst;
        std::vector<Bytes> sentSecond;
        bool heldUntilTheEnd = true;
        asio::post(io, [&] {
            std::uint32_t sequence = 0;
            for (const std::size_t size : {std::size_t{320}, frame.size(), std::size_t{2800}}) {
                for (const bool toTheFirst : {true, false}) {
                    const auto packed = protocol::packFrame(
                        protocol::MediaKind::Video, 7, sequence++, 0, std::span(frame).first(size));
                    batch.queue(socket, toTheFirst ? toFirst : toSecond, packed.bytes,
                                protocol::kMaxDatagramBytes);
                    for (std::size_t i = 0; i < packed.count; ++i) {
                        (toTheFirst ? sentFirst : sentSecond)
                            .emplace_back(packed.at(i).begin(), packed.at(i).end());
                    }
                }
            }
            pollfd p{first.fd, POLLIN, 0};
            heldUntilTheEnd = poll(&p, 1, 50) == 0;
        });
        io.run();
        EXPECT_TRUE(heldUntilTheEnd) << "offload " << offload;
        EXPECT_TRUE(receiveAll(first.fd) == sentFirst) << "offload " << offload;
        EXPECT_TRUE(receiveAll(second.fd) == sentSecond) << "offload " << offload;
        EXPECT_EQ(batch.unsent(), 0u);

        io.restart();
        asio::post(io, [&] {
            const auto packed =
                protocol::packFrame(protocol::MediaKind::Video, 7, 9, 0, std::span(frame));
            batch.queue(socket, toFirst, packed.bytes, protocol::kMaxDatagramBytes);
            socket.close();
        });
        io.run();
        EXPECT_EQ(batch.unsent(), datagramsOf(frame.size()));
        close(first.fd);
        close(second.fd);
    }
}

}  // namespace
}  // namespace centerlink
