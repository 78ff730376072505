#include "sim/media_streamer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>

#include "protocol/media_datagram.h"
#include "sim/mulaw.h"

namespace sim {

namespace protocol = vardo::protocol;

namespace {

constexpr auto kTick = std::chrono::milliseconds(5);
// A stream this far behind (the process was stopped, the machine busy)
// skips what it missed instead of sending it in a burst.
constexpr auto kMaxLag = std::chrono::seconds(1);
constexpr int kAudioBlockBytes = MediaStreamer::kAudioRate * MediaStreamer::kAudioBlockMs / 1000;

std::string clockText(std::int64_t ms) {
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::array<char, 96> text{};  // room for any int the compiler can imagine
    std::snprintf(text.data(), text.size(), "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec, static_cast<int>(ms % 1000));
    return text.data();
}

std::int64_t wallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

MediaStreamer::MediaStreamer(asio::io_context& io, MediaConfig config, Sender send)
    : config_(config),
      send_(std::move(send)),
      timer_(io),
      encoder_(config.width, config.height, config.quality),
      image_(config.width, config.height),
      random_(config.seed) {}

MediaStreamer::~MediaStreamer() {
    stop();
}

void MediaStreamer::stop() {
    streams_.clear();
    timer_.cancel();
}

std::string MediaStreamer::problem() const {
    return encoder_.error();
}

std::uint32_t MediaStreamer::streamId(const Key& key) {
    if (const auto it = ids_.find(key); it != ids_.end()) {
        return it->second;
    }
    // Not guessable: whoever can reach a client's media port must not be
    // able to forge a stream it would take. Unique, and never 0.
    std::uint32_t id = 0;
    while (id == 0 || usedIds_.contains(id)) {
        id = idSource_();
    }
    usedIds_.insert(id);
    ids_.emplace(key, id);
    return id;
}

protocol::MediaOk MediaStreamer::open(ClientId client, const protocol::MediaOpen& request,
                                      const std::string& deviceName) {
    const Key key(request.dev, request.chn);
    auto it = streams_.find(key);
    if (it == streams_.end()) {
        Stream s;
        s.id = streamId(key);
        s.dev = request.dev;
        s.channel = request.chn;
        s.name = deviceName;
        // Streams that start together (an alarm opens all channels of a
        // device) are spread over a frame time, as real cameras would be.
        const auto interval = std::chrono::microseconds(1'000'000 / config_.fps);
        const auto phase = std::chrono::microseconds(
            std::uniform_int_distribution<std::int64_t>(0, interval.count() - 1)(random_));
        s.start = Clock::now() + phase;
        s.epochMs = wallMs() + std::chrono::duration_cast<std::chrono::milliseconds>(phase).count();
        it = streams_.emplace(key, std::move(s)).first;
    }
    Stream& s = it->second;
    auto sub = std::find_if(s.subscribers.begin(), s.subscribers.end(),
                            [client](const Subscriber& x) { return x.client == client; });
    if (sub == s.subscribers.end()) {
        s.subscribers.push_back(Subscriber{client, false, false});
        sub = std::prev(s.subscribers.end());
    }
    sub->video = sub->video || request.video;
    sub->audio = sub->audio || request.audio;
    arm();

    protocol::MediaOk ok;
    ok.dev = request.dev;
    ok.chn = request.chn;
    ok.stream = s.id;
    if (request.video) {
        ok.video = protocol::VideoFormat{"mjpeg", config_.width, config_.height, config_.fps};
    }
    if (request.audio) {
        ok.audio = protocol::AudioFormat{"pcm_mulaw", kAudioRate};
    }
    return ok;
}

void MediaStreamer::close(ClientId client, const protocol::MediaClose& request) {
    const auto it = streams_.find(Key(request.dev, request.chn));
    if (it == streams_.end()) {
        return;
    }
    auto& subs = it->second.subscribers;
    for (auto& sub : subs) {
        if (sub.client == client) {
            sub.video = sub.video && !request.video;
            sub.audio = sub.audio && !request.audio;
        }
    }
    std::erase_if(subs, [](const Subscriber& x) { return !x.video && !x.audio; });
    if (subs.empty()) {
        streams_.erase(it);
    }
}

void MediaStreamer::forgetClient(ClientId client) {
    for (auto it = streams_.begin(); it != streams_.end();) {
        std::erase_if(it->second.subscribers,
                      [client](const Subscriber& x) { return x.client == client; });
        it = it->second.subscribers.empty() ? streams_.erase(it) : std::next(it);
    }
    peers_.erase(client);
}

void MediaStreamer::setEndpoint(ClientId client, const asio::ip::udp::endpoint& endpoint) {
    Peer& peer = peers_[client];
    peer.endpoint = endpoint;
    peer.known = true;
}

void MediaStreamer::deviceOnline(const std::string& dev, const std::string& name) {
    for (auto& [key, s] : streams_) {
        if (key.first == dev) {
            s.name = name;
            s.online = true;
        }
    }
}

void MediaStreamer::deviceOffline(const std::string& dev) {
    for (auto& [key, s] : streams_) {
        if (key.first == dev) {
            s.online = false;
        }
    }
}

void MediaStreamer::arm() {
    if (armed_ || streams_.empty()) {
        return;
    }
    armed_ = true;
    timer_.expires_after(kTick);
    timer_.async_wait([this](const asio::error_code& error) {
        armed_ = false;
        if (error) {
            return;
        }
        produce(Clock::now());
        arm();
    });
}

void MediaStreamer::produce(Clock::time_point now) {
    const auto videoInterval = std::chrono::nanoseconds(1'000'000'000LL / config_.fps);
    const auto audioInterval = std::chrono::milliseconds(kAudioBlockMs);
    for (auto& [key, s] : streams_) {
        if (now < s.start) {
            continue;
        }
        const bool video = std::any_of(s.subscribers.begin(), s.subscribers.end(),
                                       [](const Subscriber& x) { return x.video; });
        const bool audio = std::any_of(s.subscribers.begin(), s.subscribers.end(),
                                       [](const Subscriber& x) { return x.audio; });
        const auto elapsed = now - s.start;
        // The index of the first frame (block) not yet due.
        const auto videoDue = static_cast<std::uint64_t>(elapsed / videoInterval) + 1;
        const auto audioDue = static_cast<std::uint64_t>(elapsed / audioInterval) + 1;
        const auto videoLag = static_cast<std::uint64_t>(kMaxLag / videoInterval);
        const auto audioLag = static_cast<std::uint64_t>(kMaxLag / audioInterval);
        if (!video || videoDue - s.nextVideo > videoLag) {
            s.nextVideo = video ? videoDue - 1 : videoDue;
        }
        if (!audio || audioDue - s.nextAudio > audioLag) {
            s.nextAudio = audio ? audioDue - 1 : audioDue;
        }
        for (; s.nextVideo < videoDue; ++s.nextVideo) {
            if (s.online) {
                produceVideo(s, s.nextVideo);
            }
        }
        for (; s.nextAudio < audioDue; ++s.nextAudio) {
            if (s.online) {
                produceAudio(s, s.nextAudio);
            }
        }
    }
    // Nothing is kept back past this round.
    for (auto& [client, peer] : peers_) {
        if (peer.held) {
            const Frame held = std::move(peer.held);
            peer.held.reset();
            if (!send_(peer.endpoint, (*held)[peer.heldIndex])) {
                ++counters_.sendErrors;
            } else {
                ++counters_.datagramsSent;
            }
        }
    }
}

std::vector<std::uint8_t> MediaStreamer::videoFrame(const Stream& s, std::uint64_t index,
                                                    std::int64_t timestampMs) {
    if (config_.repeatFrames > 0) {
        auto& loop = loops_[s.channel];
        while (loop.size() < static_cast<std::size_t>(config_.repeatFrames)) {
            drawTestPattern(image_, loop.size(),
                            {"LOAD TEST", "CHANNEL " + std::to_string(s.channel)}, config_.detail);
            loop.push_back(encoder_.encode(image_));
        }
        return loop[index % loop.size()];
    }
    drawTestPattern(image_, index,
                    {s.name, "CHANNEL " + std::to_string(s.channel), clockText(timestampMs)},
                    config_.detail);
    return encoder_.encode(image_);
}

void MediaStreamer::produceVideo(Stream& s, std::uint64_t index) {
    const std::int64_t ts = s.epochMs + static_cast<std::int64_t>(
                                            index * 1000 / static_cast<std::uint64_t>(config_.fps));
    const std::vector<std::uint8_t> jpeg = videoFrame(s, index, ts);
    if (jpeg.empty()) {
        return;
    }
    auto fragments = std::make_shared<const std::vector<std::vector<std::uint8_t>>>(
        protocol::fragmentFrame(protocol::MediaKind::Video, s.id, s.videoSequence++,
                                static_cast<std::uint64_t>(ts), jpeg));
    ++counters_.videoFrames;
    send(s, true, fragments);
}

void MediaStreamer::produceAudio(Stream& s, std::uint64_t index) {
    auto& tone = tones_[s.channel];
    if (tone.empty()) {
        tone = mulawTone(400 + 200 * (s.channel - 1), kAudioRate);
    }
    std::vector<std::uint8_t> block(kAudioBlockBytes);
    const std::size_t offset = (index * kAudioBlockBytes) % tone.size();
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = tone[(offset + i) % tone.size()];
    }
    const std::int64_t ts = s.epochMs + static_cast<std::int64_t>(index) * kAudioBlockMs;
    auto fragments = std::make_shared<const std::vector<std::vector<std::uint8_t>>>(
        protocol::fragmentFrame(protocol::MediaKind::Audio, s.id, s.audioSequence++,
                                static_cast<std::uint64_t>(ts), block));
    ++counters_.audioBlocks;
    send(s, false, fragments);
}

void MediaStreamer::send(const Stream& s, bool video, const Frame& frame) {
    for (const Subscriber& sub : s.subscribers) {
        if (!(video ? sub.video : sub.audio)) {
            continue;
        }
        const auto it = peers_.find(sub.client);
        if (it == peers_.end() || !it->second.known) {
            continue;  // not registered yet
        }
        for (std::size_t i = 0; i < frame->size(); ++i) {
            sendTo(it->second, frame, i);
        }
    }
}

void MediaStreamer::sendTo(Peer& peer, const Frame& frame, std::size_t index) {
    if (config_.dropPercent > 0 && percent_(random_) < config_.dropPercent) {
        ++counters_.datagramsDropped;
        return;
    }
    if (config_.reorderPercent > 0 && !peer.held && percent_(random_) < config_.reorderPercent) {
        peer.held = frame;
        peer.heldIndex = index;
        ++counters_.datagramsReordered;
        return;
    }
    const auto count = [this](bool sent) {
        ++(sent ? counters_.datagramsSent : counters_.sendErrors);
    };
    count(send_(peer.endpoint, (*frame)[index]));
    if (peer.held) {
        const Frame held = std::move(peer.held);
        peer.held.reset();
        count(send_(peer.endpoint, (*held)[peer.heldIndex]));
    }
}

}  // namespace sim
