#pragma once
// Copies a test-pattern picture into a libavcodec frame, for the encoders.

#include "sim/test_pattern.h"

struct AVFrame;

namespace sim {

// The frame must be writable and have the image's size and a planar 4:2:0
// format.
void copyYuvToFrame(const YuvImage& image, AVFrame& frame);

}  // namespace sim
