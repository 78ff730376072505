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
    split(bytes, [this](Status status, std::span<const std::uint8_t> frame) {
        ready_.push_back({status, std::vector<std::uint8_t>(frame.begin(), frame.end())});
        return true;
    });
}

void FrameSplitter::splitWith(std::span<const std::uint8_t> bytes, Sink sink, void* context) {
    // A run of bytes up to the next 0x7e at a time. A frame begun in an
    // earlier read is gathered in current_ (one copy per run rather than a
    // push per byte); one whose both 0x7e are in these bytes is not copied.
    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const end = p + bytes.size();
    while (p != end) {
        const auto* flag = static_cast<const std::uint8_t*>(
            std::memchr(p, kFlag, static_cast<std::size_t>(end - p)));
        const std::uint8_t* const runEnd = flag != nullptr ? flag : end;
        const auto run = static_cast<std::size_t>(runEnd - p);
        // The frame this run ends, when it lies wholly in `bytes`.
        std::span<const std::uint8_t> whole;
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
                if (!sink(context, Status::TooLong, {})) {
                    return;
                }
            } else if (flag != nullptr && current_.empty()) {
                whole = std::span(p, run);
            } else {
                current_.insert(current_.end(), p, runEnd);
            }
        }
        if (flag == nullptr) {
            break;
        }
        p = flag + 1;
        // A 0x7e ends the bytes gathered since the previous one. Frames
        // usually come as 7e..7e 7e..7e, but some terminals share one 0x7e
        // between two frames, so every 0x7e also opens the next frame; the
        // short gaps this yields are skipped as noise.
        const bool ends = inFrame_ && !overLimit_;
        overLimit_ = false;
        inFrame_ = true;
        if (!ends) {
            current_.clear();
            continue;
        }
        const bool gathered = !current_.empty();
        const std::span<const std::uint8_t> frame = gathered ? std::span(current_) : whole;
        bool more = true;
        if (frame.size() >= kMinFrameBytes) {
            more = sink(context, Status::Frame, frame);
        } else {
            skipped_ += frame.size();
        }
        if (gathered) {
            // An idle connection keeps no buffer for the frame it finished.
            std::vector<std::uint8_t>().swap(current_);
        }
        if (!more) {
            return;
        }
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
