#pragma once
// One camera picture encoded once for many simulated terminals: every
// terminal that shares it sends the same H.264 frames, so a load test can
// run a hundred channels on a machine that could not encode a hundred
// pictures live. The encoder runs as far as the most advanced terminal
// asks; the others read the frames it kept.
//
// A terminal starts at the newest key frame (a receiver can begin there);
// one that falls so far behind that its frame was dropped jumps to the
// newest key frame again.
//
// Thread: one (the io_context's thread).

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "sim/h264_encoder.h"
#include "sim/test_pattern.h"

namespace sim::terminal {

class SharedCamera {
public:
    SharedCamera(int width, int height, int fps, int keyInterval, int bitRate);

    bool ok() const { return encoder_.ok(); }
    const std::string& error() const { return encoder_.error(); }

    // The frame at `cursor`, which then moves on by one. An empty cursor
    // (a terminal that starts) begins at the newest key frame. The frame's
    // bytes are empty when the encoder failed.
    const EncodedFrame& next(std::optional<std::uint64_t>& cursor);

private:
    void encodeOne();
    std::uint64_t newestKey();

    H264Encoder encoder_;
    YuvImage image_;
    std::size_t kept_;         // frames kept, the newest among them
    std::uint64_t first_ = 0;  // index of frames_.front()
    std::deque<EncodedFrame> frames_;
};

// The shared cameras of a fleet, one per picture size and rate.
class SharedCameras {
public:
    std::shared_ptr<SharedCamera> get(int width, int height, int fps, int keyInterval, int bitRate);

private:
    std::map<std::tuple<int, int, int, int, int>, std::shared_ptr<SharedCamera>> cameras_;
};

}  // namespace sim::terminal
