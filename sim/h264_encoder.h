#pragma once
// Turns YUV 4:2:0 pictures into H.264 access units with libavcodec (x264),
// the way a vehicle camera sends them: Annex B with start codes, no
// B-frames, and an IDR picture every `keyInterval` frames that carries its
// SPS and PPS in front, so that a receiver can start at any of them.
//
// Thread: one at a time.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/av_encoder.h"
#include "sim/test_pattern.h"

namespace sim {

struct EncodedFrame {
    std::vector<std::uint8_t> bytes;  // empty: the encoder failed
    bool keyframe = false;
};

class H264Encoder {
public:
    H264Encoder(int width, int height, int fps, int keyInterval, int bitRate);

    bool ok() const { return encoder_.ok(); }
    const std::string& error() const { return encoder_.error(); }

    // One access unit for every picture (the encoder holds none back). The
    // image must have the encoder's size.
    EncodedFrame encode(const YuvImage& image);

private:
    AvEncoder encoder_;
};

}  // namespace sim
