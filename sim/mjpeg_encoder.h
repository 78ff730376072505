#pragma once
// Turns YUV 4:2:0 pictures into JPEG frames with libavcodec. JPEG frames
// stand alone, so one encoder serves every simulated camera of a size.
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

class MjpegEncoder {
public:
    // `quality` is the JPEG quantiser scale, 2 (best) to 31 (smallest).
    MjpegEncoder(int width, int height, int quality);
    ~MjpegEncoder();
    MjpegEncoder(const MjpegEncoder&) = delete;
    MjpegEncoder& operator=(const MjpegEncoder&) = delete;

    // Empty when the encoder could not be set up (see error()).
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // One JPEG; empty on failure. The image must have the encoder's size.
    std::vector<std::uint8_t> encode(const YuvImage& image);

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int quality_;
    std::int64_t pts_ = 0;
    std::string error_;
};

}  // namespace sim
