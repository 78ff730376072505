#pragma once
// Cuts a TCP byte stream from a terminal into stream packets. Bytes that are
// no packet are skipped up to the next magic, so one broken packet costs
// that packet, not the connection. What is kept between calls is at most
// one unfinished packet (under 1 KiB): a peer cannot make it grow.
//
// Thread: one at a time (the connection's).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "jt1078/stream_packet.h"

namespace jt1078 {

struct SplitterCounters {
    std::uint64_t packets = 0;
    std::uint64_t skippedBytes = 0;  // not part of any packet
    std::uint64_t resyncs = 0;       // times the splitter had to look for the magic
};

class StreamSplitter {
public:
    using PacketHandler = std::function<void(const Packet& packet)>;

    explicit StreamSplitter(SimLayout layout = SimLayout::Auto) : layout_(layout) {}

    // Takes the next bytes of the stream; calls `onPacket` for every whole
    // packet, in order. The packet's body is valid during the call only.
    void feed(std::span<const std::uint8_t> bytes, const PacketHandler& onPacket);

    // The layout in use: Auto until the first packet has told it.
    SimLayout layout() const { return layout_; }
    std::size_t buffered() const { return buffer_.size(); }
    const SplitterCounters& counters() const { return counters_; }

private:
    SimLayout layout_;
    std::vector<std::uint8_t> buffer_;
    SplitterCounters counters_;
    bool inSync_ = true;
};

}  // namespace jt1078
