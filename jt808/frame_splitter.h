#pragma once
// Cuts the TCP byte stream of a terminal into frames. Bytes before the first
// 0x7e and gaps too short to be a frame are skipped (longer noise between
// frames comes out as a frame that decodeFrame refuses); a frame longer than
// the limit is dropped and reported, and the splitter resynchronises on the
// next 0x7e, so memory stays bounded whatever the terminal sends.

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
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

    // The same cut without the queue: `onEvent(Status, std::span<const
    // std::uint8_t> frame)` is called for each frame (its escaped bytes) or
    // dropped frame (TooLong, empty span) as it is found. A frame lying wholly
    // in `bytes` is passed where it lies, without a copy; the span holds only
    // during the call. `onEvent` returns false to stop: the rest of `bytes` is
    // not looked at. Not to be mixed with frames still queued by append().
    template <class OnEvent>
    void split(std::span<const std::uint8_t> bytes, OnEvent&& onEvent) {
        using Callable = std::remove_reference_t<OnEvent>;
        splitWith(
            bytes,
            [](void* context, Status status, std::span<const std::uint8_t> frame) {
                return (*static_cast<Callable*>(context))(status, frame);
            },
            const_cast<void*>(static_cast<const void*>(&onEvent)));
    }

    // Frame: `frame` holds the escaped bytes between two 0x7e (pass them to
    // decodeFrame). TooLong: one frame over the limit was dropped. NeedMore:
    // nothing complete yet.
    Status next(std::vector<std::uint8_t>& frame);

    std::uint64_t skippedBytes() const { return skipped_; }   // noise between frames
    std::uint64_t droppedFrames() const { return dropped_; }  // over the limit
    std::size_t bufferedBytes() const { return current_.size(); }

private:
    using Sink = bool (*)(void* context, Status status, std::span<const std::uint8_t> frame);
    void splitWith(std::span<const std::uint8_t> bytes, Sink sink, void* context);

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
