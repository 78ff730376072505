#pragma once
// Turns YUV 4:2:0 pictures into JPEG frames with libavcodec. JPEG frames
// stand alone, so one encoder serves every simulated camera of a size.
//
// Thread: one at a time.

#include <cstdint>
#include <string>
#include <vector>

#include "sim/av_encoder.h"
#include "sim/test_pattern.h"

namespace sim {

class MjpegEncoder {
public:
    // `quality` is the JPEG quantiser scale, 2 (best) to 31 (smallest).
    MjpegEncoder(int width, int height, int quality);

    // False when the encoder could not be set up (see error()).
    bool ok() const { return encoder_.ok(); }
    const std::string& error() const { return encoder_.error(); }

    // One JPEG; empty on failure. The image must have the encoder's size.
    std::vector<std::uint8_t> encode(const YuvImage& image);

private:
    int quality_;
    AvEncoder encoder_;
};

}  // namespace sim
