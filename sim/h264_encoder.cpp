#include "sim/h264_encoder.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include "sim/yuv_frame.h"

namespace sim {

H264Encoder::H264Encoder(int width, int height, int fps, int keyInterval, int bitRate) {
    // x264 by name: libavcodec's other H.264 encoders need hardware.
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) {
        error_ = "libavcodec has no x264 encoder (install libx264 and an FFmpeg built with it)";
        return;
    }
    context_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (context_ == nullptr || frame_ == nullptr || packet_ == nullptr) {
        error_ = "out of memory";
        return;
    }
    context_->width = width;
    context_->height = height;
    context_->pix_fmt = AV_PIX_FMT_YUV420P;
    context_->time_base = AVRational{1, std::max(fps, 1)};
    context_->framerate = AVRational{std::max(fps, 1), 1};
    context_->gop_size = std::max(keyInterval, 1);
    context_->max_b_frames = 0;
    context_->bit_rate = bitRate;
    context_->thread_count = 1;  // many cameras at once: one thread each is plenty
    av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
    // SPS and PPS before every IDR picture, in the stream itself (no global
    // header): a receiver that joins late can start at the next key frame.
    av_opt_set(context_->priv_data, "x264-params", "repeat-headers=1:scenecut=0", 0);
    if (avcodec_open2(context_, codec, nullptr) < 0) {
        error_ = "cannot open the H.264 encoder for " + std::to_string(width) + "x" +
                 std::to_string(height);
        return;
    }
    frame_->format = context_->pix_fmt;
    frame_->width = width;
    frame_->height = height;
    if (av_frame_get_buffer(frame_, 0) < 0) {
        error_ = "out of memory";
    }
}

H264Encoder::~H264Encoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

EncodedFrame H264Encoder::encode(const YuvImage& image) {
    EncodedFrame out;
    if (!ok() || image.width != context_->width || image.height != context_->height ||
        av_frame_make_writable(frame_) < 0) {
        return out;
    }
    copyYuvToFrame(image, *frame_);
    frame_->pts = pts_++;
    if (avcodec_send_frame(context_, frame_) < 0) {
        return out;
    }
    while (avcodec_receive_packet(context_, packet_) == 0) {
        out.bytes.insert(out.bytes.end(), packet_->data, packet_->data + packet_->size);
        out.keyframe = out.keyframe || (packet_->flags & AV_PKT_FLAG_KEY) != 0;
        av_packet_unref(packet_);
    }
    return out;
}

}  // namespace sim
