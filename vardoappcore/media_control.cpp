#include "vardoappcore/media_control.h"

#include <algorithm>
#include <system_error>

#include "net/run_in_passes.h"
#include "text/log_text.h"
#include "vardoappcore/library_log.h"

namespace vardo {
namespace {

// G.711 is sampled at 8 kHz; a server's media_ok may say otherwise.
constexpr int kDefaultAudioRate = 8000;
constexpr int kMaxAudioRate = 48000;

// More skipped sequence numbers than this are a restart, not a loss.
constexpr std::int32_t kMaxCountedGap = 100000;

// A channel asked for gets its first frame within a second or two when the
// media gets through at all.
constexpr std::chrono::seconds kNoMediaWait{10};

}  // namespace

MediaControl::MediaControl(asio::io_context& io, CenterSession& session)
    : session_(session),
      receiver_(io, [this](AssembledFrame&& frame) { onFrame(std::move(frame)); }),
      noMediaTimer_(io) {}

MediaControl::~MediaControl() = default;

void MediaControl::start(const std::string& dev, int channel, bool video, bool audio) {
    Channel& c = channels_[Key(dev, channel)];
    const bool newVideo = video && !c.video;
    const bool newAudio = audio && !c.audio;
    c.video = c.video || video;
    c.audio = c.audio || audio;
    if (newAudio && c.setup.audioRate == 0) {
        // Until the answer says otherwise: the first video frame may come
        // before the answer about the audio and decide the file's streams.
        c.setup.audioRate = kDefaultAudioRate;
    }
    if (newVideo || newAudio) {
        // Registered before the request, so that the first frames find us.
        openSocket();
        session_.send(protocol::MediaOpen{dev, channel, newVideo, newAudio});
        watchForMedia(c);
    }
}

void MediaControl::watchForMedia(Channel& c) {
    c.askedAt = std::chrono::steady_clock::now();
    c.gotMedia = false;
    if (noMediaCheckDue_ || noMediaWarned_ || !loggedIn_) {
        return;
    }
    noMediaCheckDue_ = true;
    noMediaTimer_.expires_after(kNoMediaWait);
    noMediaTimer_.async_wait([this](const std::error_code& error) {
        if (error) {
            return;  // cancelled: a logout or the end of the instance
        }
        noMediaCheckDue_ = false;
        checkForMedia();
    });
}

void MediaControl::checkForMedia() {
    if (noMediaWarned_ || !loggedIn_ || udpPort_ < 1 || udpPort_ > 65535) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    auto nextDue = std::chrono::steady_clock::time_point::max();
    for (const auto& [key, c] : channels_) {
        if ((!c.video && !c.audio) || c.gotMedia) {
            continue;
        }
        if (now - c.askedAt >= kNoMediaWait) {
            noMediaWarned_ = true;
            logLine("no media from " + server_.to_string() + ":" + std::to_string(udpPort_) +
                    "; check EventServer_CenterServerUdpPort and the firewall");
            return;
        }
        nextDue = std::min(nextDue, c.askedAt + kNoMediaWait);
    }
    if (nextDue != std::chrono::steady_clock::time_point::max()) {
        noMediaCheckDue_ = true;
        noMediaTimer_.expires_at(nextDue);
        noMediaTimer_.async_wait([this](const std::error_code& error) {
            if (!error) {
                noMediaCheckDue_ = false;
                checkForMedia();
            }
        });
    }
}

void MediaControl::stop(const std::string& dev, int channel, bool video, bool audio) {
    const Key key(dev, channel);
    const auto it = channels_.find(key);
    if (it == channels_.end()) {
        return;
    }
    Channel& c = it->second;
    const bool stopVideo = video && c.video;
    const bool stopAudio = audio && c.audio;
    c.video = c.video && !video;
    c.audio = c.audio && !audio;
    if (stopVideo || stopAudio) {
        session_.send(protocol::MediaClose{dev, channel, stopVideo, stopAudio});
    }
    tidy(key);
}

bool MediaControl::mediaWanted() const {
    for (const auto& [key, c] : channels_) {
        if (c.video || c.audio) {
            return true;
        }
    }
    return false;
}

void MediaControl::openSocket() {
    if (!loggedIn_) {
        return;  // the login registers
    }
    if (udpPort_ < 1 || udpPort_ > 65535) {
        if (!portWarned_) {
            portWarned_ = true;
            logLine("no media from the center server: its UDP port " + std::to_string(udpPort_) +
                    " is not between 1 and 65535");
        }
        return;
    }
    receiver_.setServer(asio::ip::udp::endpoint(server_, static_cast<std::uint16_t>(udpPort_)),
                        mediaKey_, local_);
    receiver_.open();
}

void MediaControl::onLoggedIn(bool /*again*/, protocol::MediaKey mediaKey,
                              const asio::ip::address& server, const asio::ip::address& local) {
    loggedIn_ = true;
    mediaKey_ = mediaKey;
    server_ = server;
    local_ = local;
    portWarned_ = false;
    noMediaWarned_ = false;
    // Stream numbers belong to a connection: the server hands out new ones.
    receiver_.closeAllStreams();
    streams_.clear();
    for (auto& [key, c] : channels_) {
        if (c.recording) {
            c.recording->route.haveSequence = false;
        }
    }
    if (!mediaWanted()) {
        return;
    }
    openSocket();
    // Whatever was asked before this connection (or before the first
    // login) is asked again.
    for (auto& [key, c] : channels_) {
        if (c.video || c.audio) {
            session_.send(protocol::MediaOpen{key.first, key.second, c.video, c.audio});
            watchForMedia(c);
        }
    }
}

void MediaControl::onMessage(const protocol::Message& message) {
    if (const auto* ok = std::get_if<protocol::MediaOk>(&message)) {
        onMediaOk(*ok);
    } else if (const auto* failed = std::get_if<protocol::MediaFailed>(&message)) {
        logLine("media of " + channelLabel(failed->dev, failed->chn) + " refused: " +
                (failed->reason.empty() ? "no reason given" : text::PeerText(failed->reason)));
        const Key key(failed->dev, failed->chn);
        if (const auto it = channels_.find(key); it != channels_.end()) {
            // Not asked again until the window starts it anew.
            it->second.video = false;
            it->second.audio = false;
            tidy(key);
        }
    }
}

void MediaControl::onMediaOk(const protocol::MediaOk& ok) {
    const Key key(ok.dev, ok.chn);
    const auto it = channels_.find(key);
    if (it == channels_.end() || (!it->second.video && !it->second.audio)) {
        return;  // stopped meanwhile
    }
    Channel& c = it->second;
    streams_[ok.stream] = key;
    receiver_.openStream(ok.stream);
    if (ok.video) {
        c.setup.videoCodec = ok.video->codec == "h264"   ? VideoCodec::H264
                             : ok.video->codec == "h265" ? VideoCodec::H265
                                                         : VideoCodec::Mjpeg;
        c.setup.width = ok.video->width;
        c.setup.height = ok.video->height;
        c.setup.fps = ok.video->fps;
    }
    if (ok.audio) {
        const protocol::AudioFormat& a = *ok.audio;
        if (a.rate > kMaxAudioRate) {
            // No microphone samples this fast; a file would only fill the
            // disk with its "silence" for gaps.
            logLine("audio of " + channelLabel(ok.dev, ok.chn) + " at " + std::to_string(a.rate) +
                    " Hz cannot be recorded");
            c.setup.audioRate = 0;
        } else {
            c.setup.audioRate = a.rate;
            c.setup.audioCodec = a.codec == "pcm_alaw" ? AudioCodec::Alaw
                                 : a.codec == "g726"   ? AudioCodec::G726
                                 : a.codec == "aac"    ? AudioCodec::Aac
                                                       : AudioCodec::Mulaw;
            c.setup.audioChannels = a.channels;
            c.setup.audioBitRate = a.bitRate;
            c.setup.audioConfig = a.config;
        }
    }
    receiver_.registerNow();
}

void MediaControl::onFrame(AssembledFrame&& frame) {
    const auto s = streams_.find(frame.stream);
    if (s == streams_.end()) {
        return;
    }
    const auto it = channels_.find(s->second);
    if (it != channels_.end()) {
        it->second.gotMedia = true;
        route(it->second, std::move(frame));
    }
}

void MediaControl::route(Channel& c, AssembledFrame&& frame) {
    const std::shared_ptr<Recording>& recording = c.recording;
    if (!recording || recording->failed() || !writer_) {
        return;
    }
    Recording::Route& r = recording->route;
    if (frame.kind == protocol::MediaKind::Video) {
        if (!c.video) {
            return;
        }
        if (!r.headerSent) {
            r.headerSent = true;
            r.audioRate = c.audio ? c.setup.audioRate : 0;
        }
        if (r.haveSequence) {
            const std::int32_t gap = sequenceDistance(frame.sequence, r.lastVideoSequence) - 1;
            if (gap > 0 && gap < kMaxCountedGap) {
                recording->lostFrames += static_cast<std::uint64_t>(gap);
            }
        }
        r.haveSequence = true;
        r.lastVideoSequence = frame.sequence;
        StreamSetup setup = c.setup;
        setup.audioRate = r.audioRate;
        writer_->queueFrame(recording, RecordWriter::Kind::Video, std::move(frame.bytes),
                            frame.timestampMs, setup);
        wakeWriterAtEndOfPass();
    } else if (r.headerSent && r.audioRate > 0 && c.audio && c.setup.audioRate == r.audioRate) {
        writer_->queueFrame(recording, RecordWriter::Kind::Audio, std::move(frame.bytes),
                            frame.timestampMs, c.setup);
        wakeWriterAtEndOfPass();
    }
}

void MediaControl::wakeWriterAtEndOfPass() {
    if (writerWakeWaiting_) {
        return;
    }
    writerWakeWaiting_ = true;
    net::AtEndOfPass(noMediaTimer_.get_executor(), [this] {
        writerWakeWaiting_ = false;
        if (writer_) {
            writer_->wake();
        }
    });
}

void MediaControl::tidy(const Key& key) {
    const auto it = channels_.find(key);
    if (it == channels_.end()) {
        return;
    }
    if (!it->second.video && !it->second.audio) {
        std::erase_if(streams_, [&](const auto& s) {
            if (s.second != key) {
                return false;
            }
            receiver_.closeStream(s.first);
            return true;
        });
        if (!it->second.recording) {
            channels_.erase(it);
        }
    }
    if (!mediaWanted()) {
        receiver_.close();
    }
}

bool MediaControl::attach(const std::string& dev, int channel,
                          std::shared_ptr<Recording> recording) {
    if (!writer_) {
        try {
            writer_ = std::make_unique<RecordWriter>();
        } catch (const std::system_error& e) {
            logLine(std::string("cannot start the recording thread: ") + e.what());
            return false;
        }
    }
    Channel& c = channels_[Key(dev, channel)];
    if (c.recording) {
        finishRecording(c);
    }
    c.recording = std::move(recording);
    return true;
}

void MediaControl::detach(const std::string& dev, int channel) {
    const Key key(dev, channel);
    const auto it = channels_.find(key);
    if (it == channels_.end() || !it->second.recording) {
        return;
    }
    finishRecording(it->second);
    tidy(key);
}

void MediaControl::finishRecording(Channel& c) {
    const Recording::Route& r = c.recording->route;
    StreamSetup setup = c.setup;
    // A file without frames gets the audio stream the channel has now.
    setup.audioRate = r.headerSent ? r.audioRate : (c.audio ? c.setup.audioRate : 0);
    writer_->finish(c.recording, setup);
    c.recording.reset();
}

void MediaControl::reset() {
    for (auto& [key, c] : channels_) {
        if (c.recording) {
            finishRecording(c);
        }
    }
    channels_.clear();
    streams_.clear();
    receiver_.closeAllStreams();
    receiver_.close();
    loggedIn_ = false;
    mediaKey_ = {};
    noMediaTimer_.cancel();
    noMediaCheckDue_ = false;
}

void MediaControl::stopWriter(std::chrono::milliseconds limit) {
    if (writer_) {
        writer_->stop(limit);
    }
}

WriterCounters MediaControl::writerCounters() const {
    return writer_ ? writer_->counters() : WriterCounters{};
}

}  // namespace vardo
