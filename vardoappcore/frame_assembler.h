#pragma once
// Reassembly of one stream's frames of one kind from their datagrams.
//
// A frame is delivered once, when its last missing fragment arrives. When a
// frame completes, every older frame still incomplete is dropped: the
// stream has moved on, and a frame that misses a fragment is no picture. A
// fragment of a frame that was delivered or dropped already (late), one
// received before (duplicate), or one whose fragment count or timestamp
// contradicts the frame's first fragment (inconsistent) is ignored. A
// sequence number far behind the last delivered one means the sender
// started over, and the stream starts over with it.
//
// Memory is bounded whatever a peer sends: a few frames in progress, each of
// a bounded size; the oldest goes first.
//
// Thread: one at a time (the instance's I/O thread).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vardoappcore/protocol/media_datagram.h"

namespace vardo {

struct AssembledFrame {
    protocol::MediaKind kind = protocol::MediaKind::Video;
    std::uint32_t stream = 0;
    std::uint32_t sequence = 0;
    std::uint64_t timestampMs = 0;
    bool keyframe = false;
    std::vector<std::uint8_t> bytes;
};

struct AssemblerLimits {
    std::size_t maxPendingFrames = 8;
    // Fragments per frame: 4096 of at most 1372 bytes make about 5.6 MB,
    // far more than any camera frame.
    std::uint16_t maxFragments = 4096;
    // A sequence number this far behind the last delivered frame starts the
    // stream over instead of counting as late.
    std::uint32_t restartDistance = 1000;
};

struct AssemblerCounters {
    std::uint64_t delivered = 0;
    std::uint64_t incomplete = 0;  // frames dropped with fragments missing
    std::uint64_t late = 0;        // fragments of frames already delivered or dropped
    std::uint64_t duplicate = 0;
    std::uint64_t inconsistent = 0;  // fragment count or timestamp differs, or too many fragments
    std::uint64_t restarts = 0;
    // Sequence numbers between delivered frames that were not delivered:
    // frames lost, whole or incomplete.
    std::uint64_t missing = 0;
};

class FrameAssembler {
public:
    explicit FrameAssembler(AssemblerLimits limits = {}) : limits_(limits) {}

    // Takes one datagram of this stream and kind; the frame it completes, if
    // any.
    std::optional<AssembledFrame> add(const protocol::MediaHeader& header,
                                      std::span<const std::uint8_t> payload);

    // Forgets everything (the stream was opened again).
    void reset();

    const AssemblerCounters& counters() const { return counters_; }
    std::size_t pendingFrames() const { return pending_.size(); }

private:
    struct Pending {
        std::uint32_t sequence = 0;
        std::uint64_t timestampMs = 0;
        std::uint16_t count = 0;
        std::uint16_t received = 0;
        std::vector<bool> have;
        // Payloads in arrival order, one after the other, and where each
        // fragment's lies: in order (the usual case) `data` is the frame.
        std::vector<std::uint8_t> data;
        struct Part {
            std::uint16_t index;
            std::uint32_t offset;
            std::uint32_t size;
        };
        std::vector<Part> parts;
        bool inOrder = true;
    };

    AssembledFrame complete(std::size_t index, const protocol::MediaHeader& header);
    void dropOlderThan(std::uint32_t sequence);

    AssemblerLimits limits_;
    AssemblerCounters counters_;
    std::vector<Pending> pending_;  // in arrival order of their first fragment
    bool delivered_ = false;        // lastSequence_ is meaningful
    // The newest sequence number delivered or dropped; everything at or
    // before it is done with.
    std::uint32_t lastSequence_ = 0;
};

// Serial-number order of 32-bit sequence numbers: positive when a is after b.
inline std::int32_t sequenceDistance(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b);
}

}  // namespace vardo
