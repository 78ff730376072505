#pragma once
// Puts the frames of terminals' streams back together from their packets,
// per SIM, logical channel and kind (video, audio).
//
// A frame is delivered whole or not at all: a piece that is missing, comes
// out of order, or belongs to no started frame drops the frame it would have
// been part of. Pieces of one frame must follow each other in sequence
// number; packets of the other kind of the same channel may sit between them
// (terminals that number audio and video with one counter interleave them).
//
// Memory is bounded whatever arrives: frames of at most maxFrameBytes, at
// most maxStreams streams (the one quiet the longest goes first), and at
// most maxPendingBytes in all frames still in progress.
//
// Thread: one at a time.

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "jt1078/stream_packet.h"

namespace jt1078 {

struct Frame {
    std::string sim;
    std::uint8_t channel = 0;
    DataType dataType = DataType::IFrame;
    std::uint8_t payloadType = 0;
    std::uint64_t timestampMs = 0;
    std::uint16_t firstSequence = 0;  // of its first packet
    std::vector<std::uint8_t> bytes;
    bool video() const { return isVideo(dataType); }
    bool keyframe() const { return dataType == DataType::IFrame; }
};

struct ReassemblerLimits {
    // A 1080p I-frame is rarely above 1 MiB.
    std::size_t maxFrameBytes = 4 * 1024 * 1024;
    std::size_t maxStreams = 1024;
    std::size_t maxPendingBytes = 64 * 1024 * 1024;
};

struct ReassemblerCounters {
    std::uint64_t frames = 0;       // delivered
    std::uint64_t dropped = 0;      // frames started and not finished
    std::uint64_t orphans = 0;      // pieces of no frame in progress
    std::uint64_t oversize = 0;     // frames dropped for their size (included in dropped)
    std::uint64_t evicted = 0;      // streams forgotten for room
    std::uint64_t transparent = 0;  // transparent packets, not reassembled
};

class FrameReassembler {
public:
    explicit FrameReassembler(ReassemblerLimits limits = {}) : limits_(limits) {}

    // Takes one packet; the frame it completes, if any, goes to `out`
    // (false: none).
    bool add(const Packet& packet, Frame& out);

    // Forgets a terminal's channel (its stream ended).
    void forget(const std::string& sim, std::uint8_t channel);

    const ReassemblerCounters& counters() const { return counters_; }
    std::size_t streams() const { return streams_.size(); }
    std::size_t pendingBytes() const { return pendingBytes_; }

private:
    enum class Kind : std::uint8_t { Video, Audio };
    using Key = std::tuple<std::string, std::uint8_t, Kind>;
    struct Stream {
        bool open = false;  // a frame is in progress
        Frame frame;
        std::uint16_t expected = 0;  // sequence number of its next piece
        std::list<Key>::iterator age;
    };

    Stream& stream(const Key& key);
    void drop(Stream& s);
    // A packet of the channel that is not the next piece of `s`: with a
    // shared counter it takes the number the next piece would have had.
    void passOver(const Key& other, std::uint16_t sequence);

    ReassemblerLimits limits_;
    ReassemblerCounters counters_;
    std::map<Key, Stream> streams_;
    std::list<Key> ages_;  // least recently used first
    std::size_t pendingBytes_ = 0;
};

}  // namespace jt1078
