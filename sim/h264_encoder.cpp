#include "sim/h264_encoder.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

namespace sim {

H264Encoder::H264Encoder(int width, int height, int fps, int keyInterval, int bitRate)
    // x264 by name: libavcodec's other H.264 encoders need hardware.
    : encoder_(avcodec_find_encoder_by_name("libx264"),
               "libavcodec has no x264 encoder (install libx264 and an FFmpeg built with it)",
               "H.264", width, height, [&](AVCodecContext& context) {
                   context.pix_fmt = AV_PIX_FMT_YUV420P;
                   context.time_base = AVRational{1, std::max(fps, 1)};
                   context.framerate = AVRational{std::max(fps, 1), 1};
                   context.gop_size = std::max(keyInterval, 1);
                   context.max_b_frames = 0;
                   context.bit_rate = bitRate;
                   context.thread_count = 1;  // many cameras at once: one thread each is plenty
                   av_opt_set(context.priv_data, "preset", "ultrafast", 0);
                   av_opt_set(context.priv_data, "tune", "zerolatency", 0);
                   // SPS and PPS before every IDR picture, in the stream itself (no
                   // global header): a receiver that joins late can start at the next
                   // key frame.
                   av_opt_set(context.priv_data, "x264-params", "repeat-headers=1:scenecut=0", 0);
               }) {}

EncodedFrame H264Encoder::encode(const YuvImage& image) {
    EncodedFrame out;
    encoder_.encode(image, 0, [&out](const AVPacket& packet) {
        out.bytes.insert(out.bytes.end(), packet.data, packet.data + packet.size);
        out.keyframe = out.keyframe || (packet.flags & AV_PKT_FLAG_KEY) != 0;
    });
    return out;
}

}  // namespace sim
