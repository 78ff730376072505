#include "sim/terminal/shared_camera.h"

#include <algorithm>
#include <ctime>

namespace sim::terminal {

SharedCamera::SharedCamera(int width, int height, int fps, int keyInterval, int bitRate)
    : encoder_(width, height, fps, keyInterval, bitRate),
      image_(width, height),
      // A terminal reads up to a key interval behind the newest frame (it
      // started at a key frame); the rest is room for a terminal whose
      // timer came late.
      kept_(static_cast<std::size_t>(std::max(keyInterval, 1)) * 3 + 10) {}

void SharedCamera::encodeOne() {
    const std::uint64_t index = first_ + frames_.size();
    // The picture shows when it was made and that it is shared: no terminal's
    // name, since every terminal sends it.
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char clock[32];
    std::strftime(clock, sizeof clock, "%Y-%m-%d %H:%M:%S", &tm);
    drawTestPattern(
        image_, index,
        {"SHARED " + std::to_string(image_.width) + "X" + std::to_string(image_.height), clock});
    frames_.push_back(encoder_.encode(image_));
    while (frames_.size() > kept_) {
        frames_.pop_front();
        ++first_;
    }
}

std::uint64_t SharedCamera::newestKey() {
    if (frames_.empty()) {
        encodeOne();
    }
    for (std::size_t i = frames_.size(); i-- > 0;) {
        if (frames_[i].keyframe) {
            return first_ + i;
        }
    }
    // No key frame kept (the encoder failed, or makes none): the newest.
    return first_ + frames_.size() - 1;
}

const EncodedFrame& SharedCamera::next(std::optional<std::uint64_t>& cursor) {
    if (!cursor || *cursor < first_) {
        cursor = newestKey();
    }
    while (*cursor >= first_ + frames_.size()) {
        encodeOne();
    }
    const EncodedFrame& frame = frames_[*cursor - first_];
    ++*cursor;
    return frame;
}

std::shared_ptr<SharedCamera> SharedCameras::get(int width, int height, int fps, int keyInterval,
                                                 int bitRate) {
    auto& camera = cameras_[{width, height, fps, keyInterval, bitRate}];
    if (!camera) {
        camera = std::make_shared<SharedCamera>(width, height, fps, keyInterval, bitRate);
    }
    return camera;
}

}  // namespace sim::terminal
