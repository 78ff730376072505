#pragma once
// Sends one frame's datagrams to one address in as few system calls as the
// kernel allows: with UDP segmentation offload (Linux 4.18 and later) one
// call carries a run of them, which the kernel cuts apart as late as it can
// (over loopback, not before the receiver); without it, sendmmsg sends a
// batch in one call. One system call a datagram was most of what relaying
// media cost the center.
//
// The datagrams lie end to end, each `segment` bytes long but the last.
// What a full socket buffer refuses is lost; nothing waits.
//
// Thread: one at a time.

#include <asio.hpp>
#include <cstddef>
#include <cstdint>
#include <span>

namespace centerlink {

class DatagramBatch {
public:
    // Bytes of one call: with the headers within the 64 KiB of one IP
    // packet, and no more segments than any kernel takes (64).
    static constexpr std::size_t kMaxRunBytes = 61'600;
    static constexpr std::size_t kMaxSegments = 64;

    // Sends the datagrams; how many of them were not sent.
    std::size_t send(asio::ip::udp::socket& socket, const asio::ip::udp::endpoint& to,
                     std::span<const std::uint8_t> datagrams, std::size_t segment);

    // Whether segmentation offload is still tried (tests).
    bool offload() const { return offload_; }
    // Sends with sendmmsg alone from now on (tests of the fallback).
    void disableOffload() { offload_ = false; }

private:
    // One call with segmentation offload: true when the kernel took the
    // datagrams; `unsupported` when it cannot segment at all.
    bool sendSegmented(int fd, const asio::ip::udp::endpoint& to,
                       std::span<const std::uint8_t> bytes, std::size_t segment, bool& unsupported);
    // The datagrams with sendmmsg; how many were sent.
    std::size_t sendEach(int fd, const asio::ip::udp::endpoint& to,
                         std::span<const std::uint8_t> bytes, std::size_t segment);

    bool offload_ = true;
};

}  // namespace centerlink
