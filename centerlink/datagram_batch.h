#pragma once
// Sends media datagrams from one UDP socket in as few system calls as the
// kernel allows. With UDP segmentation offload (Linux 4.18 and later) one
// message carries a run of a frame's datagrams, which the kernel cuts apart
// as late as it can (over loopback, not before the receiver); without it,
// each datagram is a message of its own. One system call a datagram was most
// of what relaying media cost the center.
//
// queue() keeps a frame's datagrams for the end of the io thread's pass
// (net/run_in_passes.h): every frame the pass relayed, to every address,
// then goes out in one sendmmsg, and the receivers are woken once for all
// of them rather than once a frame. send() sends at once.
//
// A frame's datagrams lie end to end, each `segment` bytes long but the
// last. What a full socket buffer refuses is lost; nothing waits.
//
// Thread: the socket's io thread.

#include <asio.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace centerlink {

class DatagramBatch {
public:
    // Bytes of one message: with the headers within the 64 KiB of one IP
    // packet, and no more segments than any kernel takes (64).
    static constexpr std::size_t kMaxRunBytes = 61'600;
    static constexpr std::size_t kMaxSegments = 64;
    // Held for the end of a pass at most: beyond, what is queued goes out
    // at once.
    static constexpr std::size_t kMaxQueuedBytes = 1024 * 1024;

    DatagramBatch();
    ~DatagramBatch();
    DatagramBatch(const DatagramBatch&) = delete;
    DatagramBatch& operator=(const DatagramBatch&) = delete;

    // Keeps the datagrams for the end of the pass. The socket stays open
    // until then, or what is queued is lost.
    void queue(asio::ip::udp::socket& socket, const asio::ip::udp::endpoint& to,
               std::span<const std::uint8_t> datagrams, std::size_t segment);
    // Sends what is queued and these datagrams now; how many of them all
    // were not sent.
    std::size_t send(asio::ip::udp::socket& socket, const asio::ip::udp::endpoint& to,
                     std::span<const std::uint8_t> datagrams, std::size_t segment);

    // Datagrams a full buffer (or a closed socket) refused, in all.
    std::uint64_t unsent() const;
    // Whether segmentation offload is still tried (tests).
    bool offload() const;
    // Sends every datagram as a message of its own from now on (tests of
    // the fallback).
    void disableOffload();

private:
    struct State;
    // Held by the work waiting for the end of the pass only weakly: a batch
    // gone meanwhile sends nothing.
    std::shared_ptr<State> state_;
};

}  // namespace centerlink
