#include "center/terminal_media.h"

#include <algorithm>

#include "centerlink/event_server_hub.h"
#include "jt1078/av_control.h"
#include "jt1078/payload_type.h"
#include "jt808/general_response.h"
#include "jt808/message_ids.h"
#include "protocol/media_datagram.h"

namespace center {

namespace protocol = vardo::protocol;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto kTimerPeriod = std::chrono::milliseconds(250);
// Long enough for the media_open of a channel's audio that follows its video.
constexpr auto kAskDelay = std::chrono::milliseconds(50);
constexpr int kG711Rate = 8000;
// Terminals that name no rate for G.726 send it at 40 kbit/s, the usual
// setting of their encoders.
constexpr int kG726BitRate = 40000;

std::string label(const std::string& phone, int channel) {
    return "terminal " + phone + " channel " + std::to_string(channel);
}

std::string withoutLeadingZeros(const std::string& digits) {
    const auto first = digits.find_first_not_of('0');
    return first == std::string::npos ? std::string() : digits.substr(first);
}

// Many terminals put a 4-byte header in front of each G.711/G.726 block:
// 00 01, the block's length in 16-bit words, 00. It is no sound.
std::span<const std::uint8_t> withoutAudioPrefix(std::span<const std::uint8_t> block) {
    if (block.size() > 4 && block[0] == 0x00 && block[1] == 0x01 && block[3] == 0x00 &&
        static_cast<std::size_t>(block[2]) * 2 == block.size() - 4) {
        return block.subspan(4);
    }
    return block;
}

}  // namespace

TerminalMedia::TerminalMedia(asio::io_context& io, centerlink::EventServerHub& hub,
                             SendToTerminal send, TerminalMediaConfig config, Log log)
    : hub_(hub),
      send_(std::move(send)),
      config_(std::move(config)),
      log_(std::move(log)),
      timer_(io),
      askTimer_(io) {}

TerminalMedia::~TerminalMedia() {
    timer_.cancel();
    askTimer_.cancel();
}

protocol::Message TerminalMedia::open(ClientId, const protocol::MediaOpen& request,
                                      const protocol::Online&) {
    // The hub asks through openAsync(); this answer is for callers that
    // cannot wait.
    return protocol::MediaFailed{request.dev, request.chn, "the terminal's answer has to wait"};
}

std::uint32_t TerminalMedia::newStreamId() {
    for (;;) {
        const std::uint32_t id = streamIdSource_();
        const bool taken = std::any_of(streams_.begin(), streams_.end(),
                                       [id](const auto& entry) { return entry.second.id == id; });
        if (id != 0 && !taken) {  // 0 stands for "not numbered yet"
            return id;
        }
    }
}

void TerminalMedia::openAsync(ClientId client, const protocol::MediaOpen& request,
                              const protocol::Online&, Answer answer) {
    const Key key(request.dev, request.chn);
    Stream& s = streams_[key];
    if (s.id == 0) {
        s.id = newStreamId();
    }
    Viewer& viewer = s.viewers[client];
    viewer.video = viewer.video || request.video;
    viewer.audio = viewer.audio || request.audio;
    const bool needAudio = request.audio && !s.requestedAudio;
    if (!s.requested || needAudio) {
        s.askPending = true;
        s.asked = Clock::now();
        if (!askPosted_) {
            askPosted_ = true;
            askTimer_.expires_after(kAskDelay);
            askTimer_.async_wait([this](const asio::error_code& e) {
                if (!e) {
                    askPending();
                }
            });
        }
    }
    s.waiting.push_back(Waiting{client, request, std::move(answer)});
    answerWaiting(key, s, false);
    armTimer();
}

void TerminalMedia::askPending() {
    askPosted_ = false;
    std::vector<Key> keys;
    for (auto& [key, s] : streams_) {
        if (s.askPending) {
            keys.push_back(key);
        }
    }
    for (const Key& key : keys) {
        const auto it = streams_.find(key);
        if (it == streams_.end()) {
            continue;
        }
        Stream& s = it->second;
        s.askPending = false;
        askTerminal(key, s);
        if (!s.requested) {
            for (Waiting& w : s.waiting) {
                w.answer(protocol::MediaFailed{key.first, key.second,
                                               "terminal " + key.first + " is not connected"});
            }
            s.waiting.clear();
            s.viewers.clear();
            tidy(key);
        }
    }
}

void TerminalMedia::askTerminal(const Key& key, Stream& s) {
    bool audio = false;
    for (const auto& [client, v] : s.viewers) {
        audio = audio || v.audio;
    }
    jt1078::RealtimeRequest r;
    r.serverAddress = config_.host;
    if (config_.hostFor) {
        if (std::string host = config_.hostFor(key.first); !host.empty()) {
            r.serverAddress = std::move(host);
        }
    }
    r.tcpPort = config_.port;
    r.udpPort = config_.port;
    r.channel = static_cast<std::uint8_t>(key.second);
    r.data = audio ? jt1078::RequestedData::AudioVideo : jt1078::RequestedData::Video;
    r.stream = jt1078::StreamType::Main;
    const auto body = jt1078::encodeRealtimeRequest(r);
    if (!body || !send_(key.first, jt1078::kMsgRealtimeRequest, *body)) {
        s.requested = false;
        return;
    }
    ++counters_.requests;
    s.requested = true;
    s.requestedAudio = audio;
    s.asked = Clock::now();
    if (log_) {
        log_("asked " + label(key.first, key.second) + " for " +
             (audio ? "audio and video" : "video") + " to " + r.serverAddress + ":" +
             std::to_string(config_.port));
    }
}

void TerminalMedia::close(ClientId client, const protocol::MediaClose& request) {
    const Key key(request.dev, request.chn);
    const auto it = streams_.find(key);
    if (it == streams_.end()) {
        return;
    }
    const auto v = it->second.viewers.find(client);
    if (v != it->second.viewers.end()) {
        v->second.video = v->second.video && !request.video;
        v->second.audio = v->second.audio && !request.audio;
        if (!v->second.video && !v->second.audio) {
            it->second.viewers.erase(v);
        }
    }
    tidy(key);
}

void TerminalMedia::tidy(const Key& key) {
    const auto it = streams_.find(key);
    if (it == streams_.end()) {
        return;
    }
    Stream& s = it->second;
    bool audio = false;
    for (const auto& [client, v] : s.viewers) {
        audio = audio || v.audio;
    }
    if (s.viewers.empty()) {
        if (s.requested) {
            ++counters_.closes;
            send_(key.first, jt1078::kMsgTransmissionControl,
                  jt1078::encodeTransmissionControl(
                      {static_cast<std::uint8_t>(key.second), jt1078::ControlCommand::Close,
                       jt1078::CloseWhat::AudioAndVideo, jt1078::StreamType::Main}));
            if (log_) {
                log_("told " + label(key.first, key.second) + " to stop: no one watches it");
            }
            stopped_[Key(withoutLeadingZeros(key.first), key.second)] = Clock::now();
        }
        for (Waiting& w : s.waiting) {
            w.answer(protocol::MediaFailed{key.first, key.second, "closed"});
        }
        streams_.erase(it);
        return;
    }
    if (s.requested && s.requestedAudio && !audio) {
        ++counters_.closes;
        send_(key.first, jt1078::kMsgTransmissionControl,
              jt1078::encodeTransmissionControl(
                  {static_cast<std::uint8_t>(key.second), jt1078::ControlCommand::Close,
                   jt1078::CloseWhat::AudioOnly, jt1078::StreamType::Main}));
        s.requestedAudio = false;
    }
}

void TerminalMedia::forgetClient(ClientId client) {
    endpoints_.erase(client);
    std::vector<Key> keys;
    for (auto& [key, s] : streams_) {
        s.viewers.erase(client);
        std::erase_if(s.waiting, [client](const Waiting& w) { return w.client == client; });
        keys.push_back(key);
    }
    for (const Key& key : keys) {
        tidy(key);
    }
}

void TerminalMedia::setEndpoint(ClientId client, const asio::ip::udp::endpoint& endpoint) {
    endpoints_[client] = endpoint;
}

void TerminalMedia::deviceOnline(const protocol::Online& device) {
    // What event servers opened stays open while the terminal was away.
    for (auto& [key, s] : streams_) {
        if (key.first == device.dev) {
            s.loginAddress.clear();  // a new login, perhaps from elsewhere
        }
        if (key.first == device.dev && !s.requested && !s.viewers.empty()) {
            askTerminal(key, s);
        }
    }
}

void TerminalMedia::deviceOffline(const std::string& dev) {
    for (auto& [key, s] : streams_) {
        if (key.first != dev) {
            continue;
        }
        s.requested = false;
        s.requestedAudio = false;
        s.loginAddress.clear();
        s.video.reset();
        s.audio.reset();
        for (Waiting& w : s.waiting) {
            w.answer(protocol::MediaFailed{key.first, key.second, "terminal went offline"});
        }
        s.waiting.clear();
    }
}

void TerminalMedia::stop() {
    timer_.cancel();
    askTimer_.cancel();
    askPosted_ = false;
    for (auto& [key, s] : streams_) {
        if (s.requested) {
            send_(key.first, jt1078::kMsgTransmissionControl,
                  jt1078::encodeTransmissionControl(
                      {static_cast<std::uint8_t>(key.second), jt1078::ControlCommand::Close,
                       jt1078::CloseWhat::AudioAndVideo, jt1078::StreamType::Main}));
        }
    }
    streams_.clear();
    endpoints_.clear();
}

bool TerminalMedia::onTerminalMessage(const std::string& phone, const jt808::Message& message) {
    if (message.header.msgId != jt808::msg::kTerminalResponse) {
        return false;
    }
    const auto r = jt808::parseGeneralResponse(message.body);
    if (!r ||
        (r->msgId != jt1078::kMsgRealtimeRequest && r->msgId != jt1078::kMsgTransmissionControl)) {
        return false;
    }
    if (r->msgId == jt1078::kMsgRealtimeRequest && r->result != 0) {
        // The answer does not say which channel: every request of the
        // terminal still without media has failed.
        std::vector<Key> keys;
        for (auto& [key, s] : streams_) {
            if (key.first == phone && s.requested && !s.video && !s.audio) {
                s.requested = false;
                for (Waiting& w : s.waiting) {
                    w.answer(protocol::MediaFailed{key.first, key.second,
                                                   "the terminal refused to stream (result " +
                                                       std::to_string(static_cast<int>(r->result)) +
                                                       ")"});
                }
                s.waiting.clear();
                s.viewers.clear();
                keys.push_back(key);
            }
        }
        for (const Key& key : keys) {
            tidy(key);
        }
    }
    return true;
}

TerminalMedia::Stream* TerminalMedia::find(const std::string& sim, int channel, Key& key) {
    key = Key(sim, channel);
    if (const auto it = streams_.find(key); it != streams_.end()) {
        return &it->second;
    }
    // The SIM field may be wider or narrower than the phone in the
    // signalling header: compare the numbers.
    const std::string number = withoutLeadingZeros(sim);
    for (auto& [k, s] : streams_) {
        if (k.second == channel && withoutLeadingZeros(k.first) == number) {
            key = k;
            return &s;
        }
    }
    return nullptr;
}

MediaJudgement TerminalMedia::onPacket(const jt1078::Packet& packet, const MediaSource& source) {
    Key key;
    Stream* s = find(packet.header.sim, packet.header.channel, key);
    if (s == nullptr || !s->requested) {
        if (recentlyStopped(packet.header.sim, packet.header.channel)) {
            return {MediaVerdict::Dropped, ""};
        }
        return {MediaVerdict::Refused, "it sends a stream the center did not ask for"};
    }
    // A stream is the terminal's: from the address it logged in from (unless
    // the site said its media comes from elsewhere), and once a source has
    // delivered, from that source only, in the codec it began with.
    if (config_.sourceChecks) {
        if (!config_.anySource && terminalAddress_) {
            // Looked up once per login of the terminal (deviceOnline forgets it).
            if (s->loginAddress.empty()) {
                s->loginAddress = terminalAddress_(key.first);
            }
            if (s->loginAddress != source.address) {
                return {MediaVerdict::Refused, "not from the address of the terminal's login"};
            }
        }
        if (s->source && *s->source != source.id) {
            return {MediaVerdict::Refused, "the stream comes from another source"};
        }
        const bool audio = packet.header.dataType == jt1078::DataType::Audio;
        auto& payloadType = audio ? s->audioPayloadType : s->videoPayloadType;
        if (payloadType && *payloadType != packet.header.payloadType) {
            return {MediaVerdict::Refused, "a payload type other than the stream's"};
        }
        payloadType = packet.header.payloadType;
    }
    s->source = source.id;
    jt1078::Frame frame;
    if (reassembler_.add(packet, frame)) {
        relay(key, *s, frame);
    }
    return {MediaVerdict::Taken, ""};
}

void TerminalMedia::sourceGone(std::uint64_t id) {
    for (auto& [key, s] : streams_) {
        if (s.source == id) {
            s.source.reset();
        }
    }
}

bool TerminalMedia::recentlyStopped(const std::string& sim, int channel) {
    if (stopped_.empty()) {
        return false;
    }
    // What a terminal had in flight when it was told to stop still comes
    // for a moment: dropped quietly, the connection kept.
    const auto now = Clock::now();
    std::erase_if(stopped_,
                  [&](const auto& entry) { return now - entry.second >= config_.stopGrace; });
    return stopped_.contains(Key(withoutLeadingZeros(sim), channel));
}

void TerminalMedia::relay(const Key& key, Stream& s, jt1078::Frame& frame) {
    const jt1078::PayloadType type = jt1078::payloadType(frame.payloadType);
    const bool video = frame.video();
    const std::string codec(type.codec);
    const bool relayable = video ? (codec == "h264" || codec == "h265")
                                 : (codec == "pcm_alaw" || codec == "pcm_mulaw" || codec == "g726");
    if (!relayable) {
        if (!s.unsupportedLogged && log_) {
            s.unsupportedLogged = true;
            log_(label(key.first, key.second) + " sends " + std::string(type.name) +
                 " (payload type " + std::to_string(frame.payloadType) + "), which is not relayed");
        }
        return;
    }
    std::span<const std::uint8_t> bytes(frame.bytes);
    if (video) {
        if (!s.video || s.video->codec != codec) {
            s.video = protocol::VideoFormat{codec, 0, 0, 0};
            s.firstVideo = Clock::now();
        }
    } else {
        bytes = withoutAudioPrefix(bytes);
        if (!s.audio || s.audio->codec != codec) {
            s.audio =
                protocol::AudioFormat{codec, kG711Rate, 1, codec == "g726" ? kG726BitRate : 0, {}};
        }
    }
    if (!s.waiting.empty()) {
        answerWaiting(key, s, false);
    }
    ++counters_.frames;
    const auto kind = video ? protocol::MediaKind::Video : protocol::MediaKind::Audio;
    const std::uint32_t sequence = video ? s.videoSequence++ : s.audioSequence++;
    const protocol::PackedDatagrams datagrams =
        protocol::packFrame(kind, s.id, sequence, frame.timestampMs, bytes, frame.keyframe());
    for (const auto& [client, viewer] : s.viewers) {
        if (!(video ? viewer.video : viewer.audio)) {
            continue;
        }
        const auto endpoint = endpoints_.find(client);
        if (endpoint == endpoints_.end()) {
            continue;
        }
        counters_.datagrams += datagrams.count;
        hub_.sendDatagrams(endpoint->second, datagrams.bytes, protocol::kMaxDatagramBytes);
    }
}

protocol::MediaOk TerminalMedia::okFor(const Key& key, const Stream& s,
                                       const protocol::MediaOpen& asked) const {
    protocol::MediaOk ok;
    ok.dev = key.first;
    ok.chn = key.second;
    ok.stream = s.id;
    if (asked.video && s.video) {
        ok.video = s.video;
    }
    if (asked.audio && s.audio) {
        ok.audio = s.audio;
    }
    return ok;
}

void TerminalMedia::answerWaiting(const Key& key, Stream& s, bool timeUp) {
    const auto now = Clock::now();
    const bool audioWaitOver = s.video && now - s.firstVideo >= config_.audioWait;
    std::vector<Waiting> still;
    std::vector<ClientId> failed;
    for (Waiting& w : s.waiting) {
        const bool videoReady = !w.request.video || s.video;
        const bool audioReady = !w.request.audio || s.audio || audioWaitOver;
        const bool any = (w.request.video && s.video) || (w.request.audio && s.audio);
        if (videoReady && audioReady && any) {
            w.answer(okFor(key, s, w.request));
        } else if (timeUp && any) {
            w.answer(okFor(key, s, w.request));  // what came, without the rest
        } else if (timeUp) {
            w.answer(protocol::MediaFailed{
                key.first, key.second,
                "no media from the terminal within " +
                    std::to_string((config_.answerLimit.count() + 999) / 1000) + " s"});
            failed.push_back(w.client);
        } else {
            still.push_back(std::move(w));
        }
    }
    s.waiting = std::move(still);
    if (!failed.empty()) {
        for (const ClientId c : failed) {
            s.viewers.erase(c);
        }
        tidy(key);
    }
}

void TerminalMedia::armTimer() {
    timer_.expires_after(kTimerPeriod);
    timer_.async_wait([this](const asio::error_code& e) {
        if (!e) {
            onTimer();
        }
    });
}

void TerminalMedia::onTimer() {
    const auto now = Clock::now();
    std::vector<Key> keys;
    for (const auto& [key, s] : streams_) {
        if (!s.waiting.empty()) {
            keys.push_back(key);
        }
    }
    for (const Key& key : keys) {
        const auto it = streams_.find(key);
        if (it != streams_.end()) {
            answerWaiting(key, it->second, now - it->second.asked >= config_.answerLimit);
        }
    }
    for (const auto& [key, s] : streams_) {
        if (!s.waiting.empty()) {
            armTimer();
            return;
        }
    }
}

}  // namespace center
