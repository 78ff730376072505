#pragma once
// Cuts the TCP byte stream of a terminal into frames. Bytes before the first
// 0x7e and gaps too short to be a frame are skipped (longer noise between
// frames comes out as a frame that decodeFrame refuses); a frame longer than
// the limit is dropped and reported, and the splitter resynchronises on the
// next 0x7e, so memory stays bounded whatever the terminal sends.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace jt808 {

// Enough for the largest legal frame with every byte escaped.
inline constexpr std::size_t kMaxFrameBytes = 4096;

class FrameSplitter {
public:
    enum class Status { Frame, NeedMore, TooLong };

    explicit FrameSplitter(std::size_t maxFrameBytes = kMaxFrameBytes)
        : maxFrameBytes_(maxFrameBytes) {}

    void append(std::span<const std::uint8_t> bytes);

    // Frame: `frame` holds the escaped bytes between two 0x7e (pass them to
    // decodeFrame). TooLong: one frame over the limit was dropped. NeedMore:
    // nothing complete yet.
    Status next(std::vector<std::uint8_t>& frame);

    std::uint64_t skippedBytes() const { return skipped_; }   // noise between frames
    std::uint64_t droppedFrames() const { return dropped_; }  // over the limit
    std::size_t bufferedBytes() const { return current_.size(); }

private:
    struct Event {
        Status status;
        std::vector<std::uint8_t> frame;
    };

    std::size_t maxFrameBytes_;
    std::vector<std::uint8_t> current_;  // bytes after the last 0x7e
    bool inFrame_ = false;               // a 0x7e has been seen
    bool overLimit_ = false;             // discarding until the next 0x7e
    // Frames not yet taken, from readyHead_ on. A vector rather than a
    // deque: an idle connection then holds no block for them.
    std::vector<Event> ready_;
    std::size_t readyHead_ = 0;
    std::uint64_t skipped_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace jt808
