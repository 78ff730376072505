#pragma once
// The simulated cameras and microphones: every channel that a client opened
// sends its video as JPEG frames of a moving test pattern (device name,
// channel and time in the picture) and its audio as a mu-law tone, cut into
// media datagrams, to each client that asked for it and told us where to
// send (its registration).
//
// A channel's stream number and picture belong to the channel, not to the
// client: each frame is drawn and encoded once and the same datagrams go to
// every client. Stream numbers are random. A stream runs while one client wants it and sends while
// its device is online; a client that goes away stops wanting everything.
//
// For tests, a share of datagrams can be dropped or sent late (after the
// next one to the same client).
//
// Thread: the server's io_context thread.

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "protocol/messages.h"
#include "sim/mjpeg_encoder.h"
#include "sim/test_pattern.h"

namespace sim {

struct MediaConfig {
    int width = 352;
    int height = 288;
    int fps = 12;
    int quality = 6;  // JPEG quantiser scale, 2-31
    double dropPercent = 0;
    double reorderPercent = 0;
    // 0: every frame is drawn and encoded. N: N frames per channel number
    // are encoded once and sent in a loop by every device (a load test's
    // cheap source; the picture then names no device and its clock stands).
    int repeatFrames = 0;
    int detail = 0;  // see drawTestPattern
    std::uint64_t seed = 1;
};

struct MediaCounters {
    std::uint64_t videoFrames = 0;  // produced (each once, whatever the clients)
    std::uint64_t audioBlocks = 0;
    std::uint64_t datagramsSent = 0;
    std::uint64_t datagramsDropped = 0;  // on purpose (--media-drop)
    std::uint64_t datagramsReordered = 0;
    std::uint64_t sendErrors = 0;  // the socket refused (its buffer full)
};

class MediaStreamer {
public:
    using Clock = std::chrono::steady_clock;
    // Sends one datagram; false when the socket refused it.
    using Sender = std::function<bool(const asio::ip::udp::endpoint& to,
                                      std::span<const std::uint8_t> datagram)>;
    using ClientId = std::uint64_t;  // the client's media key

    static constexpr int kAudioRate = 8000;
    static constexpr int kAudioBlockMs = 40;

    MediaStreamer(asio::io_context& io, MediaConfig config, Sender send);
    ~MediaStreamer();

    // Empty when the video encoder works; the reason otherwise.
    std::string problem() const;
    // Ends every stream (the server closes).
    void stop();

    // A media_open of an online device with that channel (the server checks
    // both): the media_ok to answer.
    vardo::protocol::MediaOk open(ClientId client, const vardo::protocol::MediaOpen& request,
                                  const std::string& deviceName);
    void close(ClientId client, const vardo::protocol::MediaClose& request);
    void forgetClient(ClientId client);
    // Where a client's media goes (its registration).
    void setEndpoint(ClientId client, const asio::ip::udp::endpoint& endpoint);

    void deviceOnline(const std::string& dev, const std::string& name);
    void deviceOffline(const std::string& dev);

    std::size_t activeStreams() const { return streams_.size(); }
    const MediaCounters& counters() const { return counters_; }

    // Produces what is due at `now` (the timer calls it; tests may too).
    void produce(Clock::time_point now);

private:
    using Frame = std::shared_ptr<const std::vector<std::vector<std::uint8_t>>>;
    struct Subscriber {
        ClientId client = 0;
        bool video = false;
        bool audio = false;
    };
    struct Stream {
        std::uint32_t id = 0;
        std::string dev;
        int channel = 1;
        std::string name;
        bool online = true;
        Clock::time_point start;      // of frame 0 and audio block 0
        std::int64_t epochMs = 0;     // the device's clock at `start`
        std::uint64_t nextVideo = 0;  // frame index
        std::uint64_t nextAudio = 0;  // block index
        std::uint32_t videoSequence = 0;
        std::uint32_t audioSequence = 0;
        std::vector<Subscriber> subscribers;
    };
    struct Peer {
        asio::ip::udp::endpoint endpoint;
        bool known = false;
        Frame held;  // a datagram kept back to be sent after the next one
        std::size_t heldIndex = 0;
    };
    using Key = std::pair<std::string, int>;

    void arm();
    void produceVideo(Stream& s, std::uint64_t index);
    void produceAudio(Stream& s, std::uint64_t index);
    std::vector<std::uint8_t> videoFrame(const Stream& s, std::uint64_t index,
                                         std::int64_t timestampMs);
    void send(const Stream& s, bool video, const Frame& frame);
    void sendTo(Peer& peer, const Frame& frame, std::size_t index);
    std::uint32_t streamId(const Key& key);

    MediaConfig config_;
    Sender send_;
    asio::steady_timer timer_;
    bool armed_ = false;
    MjpegEncoder encoder_;
    YuvImage image_;
    std::mt19937_64 random_;
    std::uniform_real_distribution<double> percent_{0.0, 100.0};
    std::map<Key, Stream> streams_;
    std::map<Key, std::uint32_t> ids_;  // kept for the server's life
    std::unordered_set<std::uint32_t> usedIds_;
    // Stream ids come from the system's entropy, not from the seed that
    // makes drops and reordering repeatable.
    std::random_device idSource_;
    std::unordered_map<ClientId, Peer> peers_;
    std::map<int, std::vector<std::uint8_t>> tones_;               // per channel number
    std::map<int, std::vector<std::vector<std::uint8_t>>> loops_;  // --repeat-frames
    MediaCounters counters_;
};

}  // namespace sim
