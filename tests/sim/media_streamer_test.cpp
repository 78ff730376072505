// The simulated cameras without a network: what a client that opened a
// channel is sent, and when it is sent nothing.

#include "sim/media_streamer.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "protocol/media_datagram.h"
#include "vardoappcore/frame_assembler.h"
#include "vardoappcore/jpeg_info.h"

namespace sim {
namespace {

namespace protocol = vardo::protocol;
using Clock = MediaStreamer::Clock;
using asio::ip::udp;

struct Received {
    std::vector<std::vector<std::uint8_t>> datagrams;
    std::vector<vardo::AssembledFrame> video;
    std::vector<vardo::AssembledFrame> audio;
};

class MediaStreamerTest : public ::testing::Test {
protected:
    void make(MediaConfig config) {
        streamer_ = std::make_unique<MediaStreamer>(
            io_, config, [this](const udp::endpoint& to, std::span<const std::uint8_t> bytes) {
                sent_[to.port()].datagrams.emplace_back(bytes.begin(), bytes.end());
                return true;
            });
    }
    void SetUp() override { make(config_); }

    // Lets `seconds` of media time pass in steps of 20 ms, as the timer would.
    void run(double seconds) {
        const auto end = start_ + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(seconds));
        for (; start_ < end; start_ += std::chrono::milliseconds(20)) {
            streamer_->produce(start_);
        }
    }

    // What the client on `port` received, reassembled.
    Received received(unsigned short port) {
        Received r = sent_[port];
        std::map<std::pair<std::uint32_t, int>, vardo::FrameAssembler> assemblers;
        for (const auto& d : r.datagrams) {
            const auto decoded = protocol::decodeMediaDatagram(d);
            EXPECT_TRUE(decoded.datagram) << decoded.error;
            if (!decoded.datagram) {
                continue;
            }
            const auto& h = decoded.datagram->header;
            auto frame =
                assemblers[{h.stream, static_cast<int>(h.kind)}].add(h, decoded.datagram->payload);
            if (frame) {
                (h.kind == protocol::MediaKind::Video ? r.video : r.audio)
                    .push_back(std::move(*frame));
            }
        }
        return r;
    }

    static udp::endpoint endpoint(unsigned short port) {
        return udp::endpoint(asio::ip::make_address("127.0.0.1"), port);
    }

    protocol::MediaOk open(MediaStreamer::ClientId client, const std::string& dev, int chn,
                           bool video, bool audio) {
        auto ok = streamer_->open(client, protocol::MediaOpen{dev, chn, video, audio}, "Bus 7");
        start_ = Clock::now();
        return ok;
    }

    MediaConfig config_;
    asio::io_context io_;  // never run: the test plays the timer
    std::unique_ptr<MediaStreamer> streamer_;
    std::map<unsigned short, Received> sent_;
    Clock::time_point start_ = Clock::now();
};

TEST_F(MediaStreamerTest, AnAnswerNamesTheStreamAndThePartsAskedFor) {
    const auto a = open(1, "X7", 1, true, false);
    EXPECT_EQ(a.dev, "X7");
    EXPECT_EQ(a.chn, 1);
    ASSERT_TRUE(a.video.has_value());
    EXPECT_EQ(*a.video, (protocol::VideoFormat{"mjpeg", 352, 288, 12}));
    EXPECT_FALSE(a.audio.has_value());

    const auto b = open(2, "X7", 1, false, true);  // another client, the same channel
    EXPECT_EQ(b.stream, a.stream);
    EXPECT_FALSE(b.video.has_value());
    EXPECT_EQ(*b.audio, (protocol::AudioFormat{"pcm_mulaw", 8000}));

    EXPECT_NE(open(1, "X7", 2, true, false).stream, a.stream);
    EXPECT_NE(open(1, "K9", 1, true, false).stream, a.stream);
    EXPECT_EQ(streamer_->activeStreams(), 3u);
}

TEST_F(MediaStreamerTest, StreamNumbersCannotBeGuessedFromAnother) {
    // Numbers counted up from 1 would let whoever reaches a client's media
    // port forge the datagrams of every stream after seeing one.
    std::set<std::uint32_t> ids;
    for (const char* dev : {"X7", "K9"}) {
        for (int chn = 1; chn <= 4; ++chn) {
            ids.insert(open(1, dev, chn, true, false).stream);
        }
    }
    ASSERT_EQ(ids.size(), 8u);
    EXPECT_FALSE(ids.contains(0));
    EXPECT_GT(*ids.rbegin() - *ids.begin(), 1000u);
}

TEST_F(MediaStreamerTest, ASecondOfMediaIsTwelveFramesAndTwentyFiveBlocksInStep) {
    // (A frame time less when the stream's phase puts its first frame late.)
    streamer_->setEndpoint(1, endpoint(5001));
    const auto ok = open(1, "X7", 1, true, true);
    run(1.0);
    const Received r = received(5001);
    for (const auto& d : r.datagrams) {
        EXPECT_LE(d.size(), protocol::kMaxDatagramBytes);
    }
    // The first frame comes within a frame time of the open.
    ASSERT_GE(r.video.size(), 11u);
    ASSERT_LE(r.video.size(), 12u);
    ASSERT_GE(r.audio.size(), 23u);
    ASSERT_LE(r.audio.size(), 25u);
    for (std::size_t i = 0; i < r.video.size(); ++i) {
        const auto& f = r.video[i];
        EXPECT_EQ(f.stream, ok.stream);
        EXPECT_EQ(f.sequence, i);
        EXPECT_EQ(vardo::jpegSize(f.bytes), (vardo::JpegSize{352, 288}));
        if (i > 0) {
            const auto step = f.timestampMs - r.video[i - 1].timestampMs;
            EXPECT_TRUE(step == 83 || step == 84) << step;
        }
    }
    for (std::size_t i = 0; i < r.audio.size(); ++i) {
        EXPECT_EQ(r.audio[i].sequence, i);
        EXPECT_EQ(r.audio[i].bytes.size(), 320u);
        if (i > 0) {
            EXPECT_EQ(r.audio[i].timestampMs - r.audio[i - 1].timestampMs, 40u);
        }
    }
    // Both on the device's clock: the audio starts with the first frame.
    EXPECT_EQ(r.audio[0].timestampMs, r.video[0].timestampMs);
    EXPECT_EQ(streamer_->counters().videoFrames, r.video.size());
}

TEST_F(MediaStreamerTest, EachFrameIsMadeOnceForEveryClient) {
    streamer_->setEndpoint(1, endpoint(5001));
    streamer_->setEndpoint(2, endpoint(5002));
    open(1, "X7", 1, true, false);
    open(2, "X7", 1, true, false);
    run(0.5);
    EXPECT_EQ(sent_[5001].datagrams, sent_[5002].datagrams);
    EXPECT_EQ(streamer_->counters().videoFrames, received(5001).video.size());
}

TEST_F(MediaStreamerTest, NothingGoesWhereNothingIsWanted) {
    const struct {
        const char* name;
        std::function<void(MediaStreamer&)> after;
    } cases[] = {
        {"a client that never registered", [](MediaStreamer&) {}},
        {"a closed channel",
         [](MediaStreamer& m) {
             m.close(1, protocol::MediaClose{"X7", 1, true, true});
         }},
        {"a client that has gone", [](MediaStreamer& m) { m.forgetClient(1); }},
        {"a device that went offline", [](MediaStreamer& m) { m.deviceOffline("X7"); }},
        {"a stopped server", [](MediaStreamer& m) { m.stop(); }},
    };
    for (const auto& c : cases) {
        make({});
        sent_.clear();
        if (std::string(c.name) != "a client that never registered") {
            streamer_->setEndpoint(1, endpoint(5001));
        }
        open(1, "X7", 1, true, true);
        c.after(*streamer_);
        run(0.5);
        EXPECT_TRUE(sent_[5001].datagrams.empty()) << c.name;
    }
}

TEST_F(MediaStreamerTest, ClosingVideoKeepsTheAudioAndADeviceBackOnlineSendsAgain) {
    streamer_->setEndpoint(1, endpoint(5001));
    open(1, "X7", 1, true, true);
    streamer_->close(1, protocol::MediaClose{"X7", 1, true, false});
    streamer_->deviceOffline("X7");
    run(0.5);
    EXPECT_TRUE(sent_[5001].datagrams.empty());
    streamer_->deviceOnline("X7", "Bus 7");
    run(0.5);
    const Received r = received(5001);
    EXPECT_TRUE(r.video.empty());
    EXPECT_GE(r.audio.size(), 11u);
}

TEST_F(MediaStreamerTest, DropAndReorderChangeWhatArrivesNotWhatIsMade) {
    const struct {
        double drop;
        double reorder;
    } cases[] = {{100, 0}, {0, 50}, {30, 30}};
    for (const auto& c : cases) {
        make(MediaConfig{.dropPercent = c.drop, .reorderPercent = c.reorder});
        sent_.clear();
        streamer_->setEndpoint(1, endpoint(5001));
        open(1, "X7", 1, true, true);
        run(1.0);
        const auto& k = streamer_->counters();
        const auto& datagrams = sent_[5001].datagrams;
        EXPECT_EQ(k.datagramsSent, datagrams.size());
        EXPECT_GE(k.videoFrames, 11u) << c.drop;
        // Within a kind, datagrams are made in (sequence, fragment) order.
        bool outOfOrder = false;
        std::map<int, std::uint64_t> last;
        for (const auto& d : datagrams) {
            const auto h = protocol::decodeMediaDatagram(d).datagram->header;
            const std::uint64_t order = std::uint64_t{h.sequence} << 16 | h.fragmentIndex;
            auto& previous = last[static_cast<int>(h.kind)];
            outOfOrder = outOfOrder || order < previous;
            previous = std::max(previous, order);
        }
        // Fragments made = sent + dropped; reordered ones are sent too.
        const std::uint64_t made = k.datagramsSent + k.datagramsDropped;
        EXPECT_GT(made, k.videoFrames + k.audioBlocks);
        if (c.drop == 100) {
            EXPECT_TRUE(datagrams.empty());
        } else {
            EXPECT_GT(k.datagramsDropped + k.datagramsReordered, 0u);
        }
        EXPECT_EQ(outOfOrder, c.reorder > 0) << c.reorder;
    }
}

}  // namespace
}  // namespace sim
