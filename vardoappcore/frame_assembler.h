#pragma once
// Reassembly of one stream's frames of one kind from their datagrams.
//
// A frame is delivered once, when its last missing fragment arrives. When a
// frame completes, every older frame still incomplete is dropped: the
// stream has moved on, and a frame that misses a fragment is no picture. A
// fragment of a frame that was delivered or dropped already (late), one
// received before (duplicate), or one whose fragment count or timestamp
// contradicts the frame's first fragment (inconsistent) is ignored.
//
// The stream's window is the range of sequence numbers around the last
// delivered one (maxAhead ahead, restartDistance behind). A datagram outside it is
// dropped and counted, and does not move the window: one stray or forged
// datagram far ahead must not make the next minute of real frames "late".
// A sender that really started over (or jumped) sends frame after frame out
// there; a few successive frame numbers, with no frame of the window
// completing between them, start the stream over at the new place.
//
// Memory is bounded whatever a peer sends: a few frames in progress, of a
// bounded number of fragments and bytes per stream, and, through a
// ReassemblyMemory shared by the streams of a receiver, in total; the oldest
// frame in progress goes first.
//
// Thread: one at a time (the instance's I/O thread), for every assembler
// sharing a ReassemblyMemory.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "protocol/media_datagram.h"

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
    // Bytes of the frames in progress of one stream and kind (payloads and
    // bookkeeping): room for the largest frame above and a few usual ones.
    std::size_t maxPendingBytes = 8 * 1024 * 1024;
    // The window around the last delivered frame. Ahead: a loss of a few
    // seconds of frames; behind: where frames count as late rather than as
    // a sender that started over.
    std::uint32_t maxAhead = 128;
    std::uint32_t restartDistance = 1000;
    // Successive frame numbers outside the window that start the stream
    // over there.
    unsigned restartRun = 3;
};

struct AssemblerCounters {
    std::uint64_t delivered = 0;
    std::uint64_t incomplete = 0;  // frames dropped with fragments missing
    std::uint64_t late = 0;        // fragments of frames already delivered or dropped
    std::uint64_t duplicate = 0;
    std::uint64_t inconsistent = 0;  // fragment count or timestamp differs, or too many fragments
    std::uint64_t outOfWindow = 0;   // fragments far from the window, dropped
    std::uint64_t restarts = 0;
    std::uint64_t evicted = 0;  // frames in progress dropped to stay within the memory caps
    // Sequence numbers between delivered frames that were not delivered:
    // frames lost, whole or incomplete.
    std::uint64_t missing = 0;
};

class FrameAssembler;

// The bytes held by the frames in progress of every assembler that shares
// it, and their cap: past the cap, the oldest frame in progress of any of
// them goes.
class ReassemblyMemory {
public:
    // 64 MiB: a few dozen cameras' frames in progress many times over.
    static constexpr std::size_t kDefaultLimit = 64 * 1024 * 1024;

    explicit ReassemblyMemory(std::size_t limit = kDefaultLimit) : limit_(limit) {}
    ReassemblyMemory(const ReassemblyMemory&) = delete;
    ReassemblyMemory& operator=(const ReassemblyMemory&) = delete;

    std::size_t used() const { return used_; }
    std::size_t limit() const { return limit_; }

private:
    friend class FrameAssembler;
    void join(FrameAssembler* assembler);
    void leave(FrameAssembler* assembler);
    // Drops the oldest frames in progress until the total fits.
    void trim();

    std::size_t limit_;
    std::size_t used_ = 0;
    std::uint64_t arrivals_ = 0;  // stamps the frames in progress in arrival order
    std::vector<FrameAssembler*> members_;
};

class FrameAssembler {
public:
    // With `memory`, the assembler's frames in progress count towards its
    // cap; it must outlive the assembler.
    explicit FrameAssembler(AssemblerLimits limits = {}, ReassemblyMemory* memory = nullptr);
    ~FrameAssembler();
    FrameAssembler(const FrameAssembler&) = delete;
    FrameAssembler& operator=(const FrameAssembler&) = delete;

    // Takes one datagram of this stream and kind; the frame it completes, if
    // any.
    std::optional<AssembledFrame> add(const protocol::MediaHeader& header,
                                      std::span<const std::uint8_t> payload);

    // Forgets everything (the stream was opened again).
    void reset();

    const AssemblerCounters& counters() const { return counters_; }
    std::size_t pendingFrames() const { return pending_.size(); }
    std::size_t pendingBytes() const { return pendingBytes_; }

private:
    friend class ReassemblyMemory;

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
        std::uint64_t arrival = 0;  // from the shared memory's stamps
        std::size_t bytes = 0;      // as counted in pendingBytes_
    };

    // Whether a datagram of `seq` is outside the window and to be dropped;
    // starts the stream over after a run of them.
    bool outsideWindow(std::uint32_t seq);
    AssembledFrame complete(std::size_t index, const protocol::MediaHeader& header);
    void dropOlderThan(std::uint32_t sequence);
    // Brings the frame's share of the counted bytes up to date.
    void recount(Pending& p);
    void erase(std::vector<Pending>::iterator it);
    void clearPending();
    // Drops frames in progress, oldest first, until this stream's bytes fit
    // its cap; never `keep` unless it alone is over. False when `keep` went.
    bool fitStream(const Pending* keep);
    // The arrival stamp of the oldest frame in progress; 0 when none.
    std::uint64_t oldestArrival() const;
    void evictOldest();

    AssemblerLimits limits_;
    ReassemblyMemory* memory_;
    AssemblerCounters counters_;
    std::vector<Pending> pending_;  // in arrival order of their first fragment
    std::size_t pendingBytes_ = 0;
    std::uint64_t localArrivals_ = 0;  // without a shared memory
    // The last run of successive frame numbers outside the window.
    bool haveStray_ = false;
    std::uint32_t straySequence_ = 0;
    unsigned strayRun_ = 0;
    bool delivered_ = false;  // lastSequence_ is meaningful
    // The newest sequence number delivered or dropped; everything at or
    // before it is done with.
    std::uint32_t lastSequence_ = 0;
};

// Serial-number order of 32-bit sequence numbers: positive when a is after b.
inline std::int32_t sequenceDistance(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b);
}

}  // namespace vardo
