#pragma once
// A simulated terminal's camera and microphone on one logical channel, sent
// to the media address a real-time request named: H.264 made with x264 from
// the moving test pattern (terminal name, channel, time), and G.711 A-law, cut
// into stream packets of at most 950 body bytes, over TCP or UDP. Video and
// audio share one packet counter, as in many terminals.
//
// Like a camera, it never waits for the network: when the TCP connection
// falls behind by more than a few frames, new frames are dropped.
//
// Thread: the io_context's thread.

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "jt1078/stream_packet.h"

namespace sim {
class H264Encoder;
struct YuvImage;
}  // namespace sim

namespace sim::terminal {

class SharedCamera;

struct MediaSenderConfig {
    std::string host;
    std::uint16_t port = 0;
    bool udp = false;
    std::string sim;  // the terminal's phone digits
    jt1078::SimLayout layout = jt1078::SimLayout::Bcd6;
    std::uint8_t channel = 1;
    bool audio = true;
    std::string label;  // drawn into the picture
    int width = 352;
    int height = 288;
    int fps = 25;
    int keyInterval = 25;
    int bitRate = 400'000;
    // Share of packets left out on purpose, 0-1, to try a lossy network.
    double loss = 0;
    std::uint64_t seed = 1;
    // Frames made once for every terminal of this size (a load test's
    // cameras); null: this channel encodes its own picture.
    std::shared_ptr<SharedCamera> camera;
};

struct MediaSenderCounters {
    std::uint64_t frames = 0;   // video frames made
    std::uint64_t packets = 0;  // packets handed to the network
    std::uint64_t lost = 0;     // left out on purpose
    std::uint64_t dropped = 0;  // frames dropped because the network was behind
};

class MediaSender : public std::enable_shared_from_this<MediaSender> {
public:
    using Log = std::function<void(const std::string&)>;

    MediaSender(asio::io_context& io, MediaSenderConfig config, Log log);
    ~MediaSender();

    void start();
    void stop();
    void setAudio(bool on) { config_.audio = on; }
    const MediaSenderCounters& counters() const { return counters_; }

private:
    void connect();
    void tick();
    void sendFrame(jt1078::DataType type, std::uint8_t payloadType,
                   const std::vector<std::uint8_t>& frame, std::uint64_t timestampMs);
    void send(std::vector<std::uint8_t> packet);
    void writeNext();

    asio::io_context& io_;
    MediaSenderConfig config_;
    Log log_;
    asio::ip::tcp::socket tcp_;
    asio::ip::udp::socket udp_;
    asio::ip::udp::endpoint udpTarget_;
    asio::steady_timer timer_;
    std::unique_ptr<H264Encoder> encoder_;
    std::unique_ptr<YuvImage> image_;
    std::optional<std::uint64_t> cameraCursor_;  // where it reads config_.camera
    std::vector<std::uint8_t> tone_;
    std::size_t toneAt_ = 0;
    std::deque<std::vector<std::uint8_t>> outbox_;
    std::size_t outboxBytes_ = 0;
    bool writing_ = false;
    bool connected_ = false;
    bool stopped_ = false;
    std::uint16_t sequence_ = 0;
    std::uint64_t index_ = 0;
    std::uint64_t lastKeyMs_ = 0;
    std::uint64_t lastFrameMs_ = 0;
    std::chrono::steady_clock::time_point next_;
    std::mt19937_64 rng_;
    MediaSenderCounters counters_;
};

}  // namespace sim::terminal
