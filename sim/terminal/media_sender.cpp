#include "sim/terminal/media_sender.h"

#include <ctime>

#include "jt1078/packetizer.h"
#include "jt1078/payload_type.h"
#include "sim/alaw.h"
#include "sim/h264_encoder.h"
#include "sim/terminal/shared_camera.h"
#include "sim/test_pattern.h"

namespace sim::terminal {
namespace {

constexpr int kAudioRate = 8000;
// A camera keeps a few frames for a slow network, then drops.
constexpr std::size_t kMaxOutboxBytes = 512 * 1024;
// Packets a write takes at most (the system's limit of a writev is 1024).
constexpr std::size_t kPacketsAWrite = 256;

std::uint64_t nowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

std::string clockText(std::uint64_t ms) {
    const std::time_t t = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

}  // namespace

MediaSender::MediaSender(asio::io_context& io, MediaSenderConfig config, Log log)
    : io_(io),
      config_(std::move(config)),
      log_(std::move(log)),
      tcp_(io),
      udp_(io),
      timer_(io),
      rng_(config_.seed) {}

MediaSender::~MediaSender() = default;

void MediaSender::start() {
    config_.fps = std::clamp(config_.fps, 1, 60);
    if (config_.camera) {
        if (!config_.camera->ok()) {
            log_("channel " + std::to_string(config_.channel) + ": " + config_.camera->error());
            return;
        }
    } else {
        encoder_ = std::make_unique<H264Encoder>(config_.width, config_.height, config_.fps,
                                                 config_.keyInterval, config_.bitRate);
        if (!encoder_->ok()) {
            log_("channel " + std::to_string(config_.channel) + ": " + encoder_->error());
            return;
        }
        image_ = std::make_unique<YuvImage>(config_.width, config_.height);
    }
    tone_ = alawTone(400 + 100 * config_.channel, kAudioRate);
    next_ = std::chrono::steady_clock::now();
    if (config_.udp) {
        asio::error_code ec;
        const auto address = asio::ip::make_address(config_.host, ec);
        if (ec) {
            log_("media address '" + config_.host + "' is no IP address");
            return;
        }
        udpTarget_ = asio::ip::udp::endpoint(address, config_.port);
        udp_.open(udpTarget_.protocol(), ec);
        connected_ = !ec;
        tick();
    } else {
        connect();
    }
}

void MediaSender::stop() {
    stopped_ = true;
    asio::error_code ignored;
    timer_.cancel();
    tcp_.close(ignored);
    udp_.close(ignored);
    outbox_.clear();
    outboxBytes_ = 0;
}

void MediaSender::connect() {
    asio::error_code ec;
    const auto address = asio::ip::make_address(config_.host, ec);
    if (ec) {
        log_("media address '" + config_.host + "' is no IP address");
        return;
    }
    auto self = shared_from_this();
    tcp_.async_connect(
        asio::ip::tcp::endpoint(address, config_.port), [self](const asio::error_code& e) {
            if (self->stopped_) {
                return;
            }
            if (e) {
                self->log_("media connection to " + self->config_.host + ":" +
                           std::to_string(self->config_.port) + " failed: " + e.message());
                return;
            }
            self->connected_ = true;
            self->tick();
        });
}

void MediaSender::tick() {
    if (stopped_) {
        return;
    }
    const std::uint64_t ms = nowMs();
    EncodedFrame own;
    if (!config_.camera) {
        drawTestPattern(*image_, index_,
                        {config_.label + " CH" + std::to_string(config_.channel), clockText(ms)});
        own = encoder_->encode(*image_);
    }
    const EncodedFrame& frame = config_.camera ? config_.camera->next(cameraCursor_) : own;
    ++index_;
    if (!frame.bytes.empty()) {
        ++counters_.frames;
        if (outboxBytes_ > kMaxOutboxBytes) {
            ++counters_.dropped;
        } else {
            sendFrame(frame.keyframe ? jt1078::DataType::IFrame : jt1078::DataType::PFrame,
                      jt1078::kH264, frame.bytes, ms);
            if (frame.keyframe) {
                lastKeyMs_ = ms;
            }
            lastFrameMs_ = ms;
        }
    }
    if (config_.audio) {
        // The sound of one frame's time.
        const std::size_t n = static_cast<std::size_t>(kAudioRate / config_.fps);
        std::vector<std::uint8_t> block(n);
        for (std::size_t i = 0; i < n; ++i) {
            block[i] = tone_[(toneAt_ + i) % tone_.size()];
        }
        toneAt_ = (toneAt_ + n) % tone_.size();
        sendFrame(jt1078::DataType::Audio, jt1078::kG711A, block, ms);
    }
    next_ += std::chrono::microseconds(1'000'000 / config_.fps);
    const auto now = std::chrono::steady_clock::now();
    if (next_ < now - std::chrono::seconds(1)) {
        next_ = now;  // far behind (a stalled machine): do not race to catch up
    }
    timer_.expires_at(next_);
    timer_.async_wait([self = shared_from_this()](const asio::error_code& e) {
        if (!e) {
            self->tick();
        }
    });
}

void MediaSender::sendFrame(jt1078::DataType type, std::uint8_t payloadType,
                            const std::vector<std::uint8_t>& frame, std::uint64_t timestampMs) {
    jt1078::PacketHeader h;
    h.payloadType = payloadType;
    h.sim = config_.sim;
    h.channel = config_.channel;
    h.dataType = type;
    h.timestampMs = timestampMs;
    if (jt1078::isVideo(type)) {
        h.lastIFrameGapMs = static_cast<std::uint16_t>(
            std::min<std::uint64_t>(lastKeyMs_ ? timestampMs - lastKeyMs_ : 0, 0xFFFF));
        h.lastFrameGapMs = static_cast<std::uint16_t>(
            std::min<std::uint64_t>(lastFrameMs_ ? timestampMs - lastFrameMs_ : 0, 0xFFFF));
    }
    std::bernoulli_distribution lose(std::clamp(config_.loss, 0.0, 1.0));
    for (auto& packet : jt1078::packetize(h, frame, sequence_, config_.layout)) {
        if (config_.loss > 0 && lose(rng_)) {
            ++counters_.lost;
            continue;
        }
        send(std::move(packet));
    }
}

void MediaSender::send(std::vector<std::uint8_t> packet) {
    if (!connected_) {
        return;
    }
    ++counters_.packets;
    if (config_.udp) {
        asio::error_code ignored;
        udp_.send_to(asio::buffer(packet), udpTarget_, 0, ignored);
        return;
    }
    outboxBytes_ += packet.size();
    outbox_.push_back(std::move(packet));
    if (!writing_) {
        // After the rest of this tick's packets: a camera hands the network
        // a frame (and its sound) at once, not a packet each time the
        // simulator's thread comes round between other terminals' encodes.
        writing_ = true;
        asio::post(tcp_.get_executor(), [self = shared_from_this()] { self->writeNext(); });
    }
}

void MediaSender::writeNext() {
    if (outbox_.empty() || stopped_) {
        writing_ = false;
        return;
    }
    writing_ = true;
    // Everything queued, in one write.
    std::vector<asio::const_buffer> buffers;
    for (const auto& packet : outbox_) {
        if (buffers.size() == kPacketsAWrite) {
            break;
        }
        buffers.push_back(asio::buffer(packet));
    }
    asio::async_write(
        tcp_, buffers,
        [self = shared_from_this(), n = buffers.size()](const asio::error_code& e, std::size_t) {
            if (self->stopped_) {
                return;
            }
            if (e) {
                self->log_("media connection lost: " + e.message());
                self->stop();
                return;
            }
            for (std::size_t i = 0; i < n; ++i) {
                self->outboxBytes_ -= self->outbox_.front().size();
                self->outbox_.pop_front();
            }
            self->writeNext();
        });
}

}  // namespace sim::terminal
