#pragma once
// One libavcodec video encoder with its picture and packet buffers: the
// set-up, the tear-down and the send/receive loop that every simulated
// camera codec shares. The codecs themselves only choose their settings.
//
// Thread: one at a time.

#include <cstdint>
#include <functional>
#include <string>

#include "sim/test_pattern.h"

struct AVCodec;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace sim {

class AvEncoder {
public:
    // `codec` may be null (the codec is missing): error() is then
    // `missingCodec`. `configure` sets the codec's own settings (pixel
    // format, rates, options) on a context that already has the size;
    // `name` goes into the error when the codec refuses them.
    AvEncoder(const AVCodec* codec, const std::string& missingCodec, const std::string& name,
              int width, int height, const std::function<void(AVCodecContext&)>& configure);
    ~AvEncoder();
    AvEncoder(const AvEncoder&) = delete;
    AvEncoder& operator=(const AvEncoder&) = delete;

    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    // Sends one picture and hands every packet the encoder gives back to
    // `onPacket`. `quality`, when above 0, is the picture's quantiser scale.
    // False when the picture was not taken: the encoder failed to set up,
    // the image has another size, or libavcodec refused it.
    bool encode(const YuvImage& image, int quality,
                const std::function<void(const AVPacket&)>& onPacket);

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::int64_t pts_ = 0;
    std::string error_;
};

}  // namespace sim
