#include "sim/mjpeg_encoder.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace sim {

MjpegEncoder::MjpegEncoder(int width, int height, int quality)
    : quality_(std::clamp(quality, 2, 31)),
      encoder_(avcodec_find_encoder(AV_CODEC_ID_MJPEG), "libavcodec has no MJPEG encoder", "MJPEG",
               width, height, [](AVCodecContext& context) {
                   context.pix_fmt = AV_PIX_FMT_YUVJ420P;
                   context.color_range = AVCOL_RANGE_JPEG;
                   context.time_base = AVRational{1, 25};
                   context.flags |= AV_CODEC_FLAG_QSCALE;
               }) {}

std::vector<std::uint8_t> MjpegEncoder::encode(const YuvImage& image) {
    std::vector<std::uint8_t> jpeg;
    encoder_.encode(image, quality_, [&jpeg](const AVPacket& packet) {
        jpeg.assign(packet.data, packet.data + packet.size);
    });
    return jpeg;
}

}  // namespace sim
