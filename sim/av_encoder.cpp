#include "sim/av_encoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "sim/yuv_frame.h"

namespace sim {

AvEncoder::AvEncoder(const AVCodec* codec, const std::string& missingCodec, const std::string& name,
                     int width, int height, const std::function<void(AVCodecContext&)>& configure) {
    if (codec == nullptr) {
        error_ = missingCodec;
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
    configure(*context_);
    if (avcodec_open2(context_, codec, nullptr) < 0) {
        error_ = "cannot open the " + name + " encoder for " + std::to_string(width) + "x" +
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

AvEncoder::~AvEncoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

bool AvEncoder::encode(const YuvImage& image, int quality,
                       const std::function<void(const AVPacket&)>& onPacket) {
    if (!ok() || image.width != context_->width || image.height != context_->height ||
        av_frame_make_writable(frame_) < 0) {
        return false;
    }
    copyYuvToFrame(image, *frame_);
    if (quality > 0) {
        frame_->quality = FF_QP2LAMBDA * quality;
    }
    frame_->pts = pts_++;
    if (avcodec_send_frame(context_, frame_) < 0) {
        return false;
    }
    while (avcodec_receive_packet(context_, packet_) == 0) {
        onPacket(*packet_);
        av_packet_unref(packet_);
    }
    return true;
}

}  // namespace sim
