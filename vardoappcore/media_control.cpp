#include "vardoappcore/media_control.h"

#include "vardoappcore/library_log.h"

namespace vardo {

void MediaControl::start(const std::string& dev, int channel, bool video, bool audio) {
    Wanted& w = wanted_[Key(dev, channel)];
    const bool newVideo = video && !w.video;
    const bool newAudio = audio && !w.audio;
    w.video = w.video || video;
    w.audio = w.audio || audio;
    if (newVideo || newAudio) {
        session_.send(protocol::MediaOpen{dev, channel, newVideo, newAudio});
    }
}

void MediaControl::stop(const std::string& dev, int channel, bool video, bool audio) {
    const auto it = wanted_.find(Key(dev, channel));
    if (it == wanted_.end()) {
        return;
    }
    Wanted& w = it->second;
    const bool stopVideo = video && w.video;
    const bool stopAudio = audio && w.audio;
    w.video = w.video && !video;
    w.audio = w.audio && !audio;
    if (stopVideo || stopAudio) {
        session_.send(protocol::MediaClose{dev, channel, stopVideo, stopAudio});
    }
    if (!w.video && !w.audio) {
        wanted_.erase(it);
    }
}

void MediaControl::onLoggedIn(bool again, std::uint32_t mediaKey) {
    mediaKey_ = mediaKey;
    if (!again) {
        return;
    }
    for (const auto& [key, w] : wanted_) {
        session_.send(protocol::MediaOpen{key.first, key.second, w.video, w.audio});
    }
}

void MediaControl::onMessage(const protocol::Message& message) {
    if (const auto* failed = std::get_if<protocol::MediaFailed>(&message)) {
        logLine("media of device '" + failed->dev + "' channel " + std::to_string(failed->chn) +
                " refused: " + (failed->reason.empty() ? "no reason given" : failed->reason));
        // Not asked again until the window starts it anew.
        wanted_.erase(Key(failed->dev, failed->chn));
    }
}

void MediaControl::reset() {
    wanted_.clear();
    mediaKey_ = 0;
}

}  // namespace vardo
