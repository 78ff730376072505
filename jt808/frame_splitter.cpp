#include "jt808/frame_splitter.h"

#include <cstring>

#include "jt808/frame.h"

namespace jt808 {

namespace {

// Fewer bytes than a header and a check code cannot be a frame: two
// delimiters around noise, or the shared delimiter of back-to-back frames.
constexpr std::size_t kMinFrameBytes = 13;

}  // namespace

void FrameSplitter::append(std::span<const std::uint8_t> bytes) {
    // A run of bytes up to the next 0x7e at a time: one copy per run rather
    // than a push per byte.
    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const end = p + bytes.size();
    while (p != end) {
        const auto* flag = static_cast<const std::uint8_t*>(
            std::memchr(p, kFlag, static_cast<std::size_t>(end - p)));
        const std::uint8_t* const runEnd = flag != nullptr ? flag : end;
        const auto run = static_cast<std::size_t>(runEnd - p);
        if (run > 0) {
            if (!inFrame_) {
                skipped_ += run;
            } else if (overLimit_) {
                // Still inside the dropped frame.
            } else if (run > maxFrameBytes_ - current_.size()) {
                overLimit_ = true;
                ++dropped_;
                current_.clear();
                current_.shrink_to_fit();
                ready_.push_back({Status::TooLong, {}});
            } else {
                current_.insert(current_.end(), p, runEnd);
            }
        }
        if (flag == nullptr) {
            break;
        }
        // A 0x7e ends the bytes gathered since the previous one. Frames
        // usually come as 7e..7e 7e..7e, but some terminals share one 0x7e
        // between two frames, so every 0x7e also opens the next frame; the
        // short gaps this yields are skipped as noise.
        if (inFrame_ && !overLimit_) {
            if (current_.size() >= kMinFrameBytes) {
                ready_.push_back({Status::Frame, std::move(current_)});
            } else {
                skipped_ += current_.size();
            }
        }
        current_.clear();
        overLimit_ = false;
        inFrame_ = true;
        p = flag + 1;
    }
}

FrameSplitter::Status FrameSplitter::next(std::vector<std::uint8_t>& frame) {
    if (readyHead_ == ready_.size()) {
        ready_.clear();
        readyHead_ = 0;
        return Status::NeedMore;
    }
    Event& e = ready_[readyHead_++];
    frame = std::move(e.frame);
    return e.status;
}

}  // namespace jt808
