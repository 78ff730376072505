#include "sim/mjpeg_encoder.h"

#include <algorithm>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
}

#include "sim/yuv_frame.h"

namespace sim {

MjpegEncoder::MjpegEncoder(int width, int height, int quality)
    : quality_(std::clamp(quality, 2, 31)) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (codec == nullptr) {
        error_ = "libavcodec has no MJPEG encoder";
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
    context_->pix_fmt = AV_PIX_FMT_YUVJ420P;
    context_->color_range = AVCOL_RANGE_JPEG;
    context_->time_base = AVRational{1, 25};
    context_->flags |= AV_CODEC_FLAG_QSCALE;
    if (avcodec_open2(context_, codec, nullptr) < 0) {
        error_ = "cannot open the MJPEG encoder for " + std::to_string(width) + "x" +
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

MjpegEncoder::~MjpegEncoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
}

std::vector<std::uint8_t> MjpegEncoder::encode(const YuvImage& image) {
    if (!ok() || image.width != context_->width || image.height != context_->height ||
        av_frame_make_writable(frame_) < 0) {
        return {};
    }
    copyYuvToFrame(image, *frame_);
    frame_->quality = FF_QP2LAMBDA * quality_;
    frame_->pts = pts_++;

    std::vector<std::uint8_t> jpeg;
    if (avcodec_send_frame(context_, frame_) < 0) {
        return jpeg;
    }
    while (avcodec_receive_packet(context_, packet_) == 0) {
        jpeg.assign(packet_->data, packet_->data + packet_->size);
        av_packet_unref(packet_);
    }
    return jpeg;
}

}  // namespace sim
