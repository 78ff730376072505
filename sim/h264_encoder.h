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

#include "sim/test_pattern.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace sim {

struct EncodedFrame {
    std::vector<std::uint8_t> bytes;  // empty: the encoder failed
    bool keyframe = false;
};

class H264Encoder {
public:
    H264Encoder(int width, int height, int fps, int keyInterval, int bitRate);
    ~H264Encoder();
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // One access unit for every picture (the encoder holds none back). The
    // image must have the encoder's size.
    EncodedFrame encode(const YuvImage& image);

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::int64_t pts_ = 0;
    std::string error_;
};

}  // namespace sim
