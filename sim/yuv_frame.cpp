#include "sim/yuv_frame.h"

#include <cstring>

extern "C" {
#include <libavutil/frame.h>
}

namespace sim {
namespace {

void copyPlane(std::uint8_t* to, int toStride, const std::uint8_t* from, int width, int height) {
    for (int row = 0; row < height; ++row) {
        std::memcpy(to + static_cast<std::ptrdiff_t>(row) * toStride,
                    from + static_cast<std::ptrdiff_t>(row) * width,
                    static_cast<std::size_t>(width));
    }
}

}  // namespace

void copyYuvToFrame(const YuvImage& image, AVFrame& frame) {
    copyPlane(frame.data[0], frame.linesize[0], image.y.data(), image.width, image.height);
    copyPlane(frame.data[1], frame.linesize[1], image.u.data(), image.chromaWidth(),
              image.chromaHeight());
    copyPlane(frame.data[2], frame.linesize[2], image.v.data(), image.chromaWidth(),
              image.chromaHeight());
}

}  // namespace sim
