// The center's side of terminal media, in process: which requests and closes
// the terminal gets as event servers open and close channels, and what the
// event servers are answered.

#include "center/terminal_media.h"

#include <gtest/gtest.h>

#include <vector>

#include "centerlink/event_server_hub.h"
#include "jt1078/av_control.h"
#include "jt1078/packetizer.h"
#include "jt1078/payload_type.h"
#include "jt808/general_response.h"
#include "jt808/message_ids.h"

namespace center {
namespace {

namespace protocol = vardo::protocol;
using namespace std::chrono_literals;

const std::string kPhone = "013912344329";

struct Sent {
    std::uint16_t msgId;
    std::vector<std::uint8_t> body;
};

class TerminalMediaTest : public ::testing::Test {
protected:
    TerminalMediaTest()
        : hub_(io_, centerlink::HubConfig{}),
          media_(io_, hub_,
                 [this](const std::string& phone, std::uint16_t msgId,
                        std::span<const std::uint8_t> body) {
                     if (!connected_ || phone != kPhone) {
                         return false;
                     }
                     sent_.push_back({msgId, {body.begin(), body.end()}});
                     return true;
                 },
                 config(), {}) {}

    static TerminalMediaConfig config() {
        TerminalMediaConfig c;
        c.host = "10.1.2.3";
        c.port = 7612;
        c.answerLimit = 500ms;
        c.audioWait = 100ms;
        return c;
    }

    void open(centerlink::MediaProvider::ClientId client, int chn, bool video, bool audio) {
        media_.openAsync(client, protocol::MediaOpen{kPhone, chn, video, audio}, device_,
                         [this, client](const protocol::Message& m) {
                             answers_.push_back({client, m});
                         });
    }
    void run(std::chrono::milliseconds d) {
        io_.restart();
        io_.run_for(d);
    }
    // Runs the loop until `done`, for at most `cap`: on a busy machine a
    // timer fires later than its time.
    template <typename Done>
    void runUntil(Done done, std::chrono::milliseconds cap = std::chrono::seconds(10)) {
        io_.restart();
        const auto end = std::chrono::steady_clock::now() + cap;
        while (!done() && std::chrono::steady_clock::now() < end) {
            io_.run_for(std::chrono::milliseconds(10));
        }
    }
    std::vector<jt1078::RealtimeRequest> requests() const {
        std::vector<jt1078::RealtimeRequest> out;
        for (const Sent& s : sent_) {
            if (s.msgId == jt1078::kMsgRealtimeRequest) {
                out.push_back(*jt1078::decodeRealtimeRequest(s.body));
            }
        }
        return out;
    }
    std::vector<jt1078::TransmissionControl> closes() const {
        std::vector<jt1078::TransmissionControl> out;
        for (const Sent& s : sent_) {
            if (s.msgId == jt1078::kMsgTransmissionControl) {
                out.push_back(*jt1078::decodeTransmissionControl(s.body));
            }
        }
        return out;
    }
    // One frame from the terminal, through the packet path.
    void frame(int chn, jt1078::DataType type, std::uint8_t payloadType,
               const MediaSource& source = {"127.0.0.1", 1}) {
        jt1078::PacketHeader h;
        h.sim = kPhone;
        h.channel = static_cast<std::uint8_t>(chn);
        h.dataType = type;
        h.payloadType = payloadType;
        const std::vector<std::uint8_t> body(2000, 1);
        for (const auto& bytes : jt1078::packetize(h, body, sequence_)) {
            const auto r = jt1078::decodePacket(bytes, jt1078::SimLayout::Bcd6, true);
            accepted_ = media_.onPacket(r.packet, source).verdict != MediaVerdict::Refused;
        }
    }

    asio::io_context io_;
    centerlink::EventServerHub hub_;
    TerminalMedia media_;
    protocol::Online device_{kPhone, kPhone, "", "", 4, ""};
    bool connected_ = true;
    bool accepted_ = false;
    std::uint16_t sequence_ = 0;
    std::vector<Sent> sent_;
    std::vector<std::pair<std::uint32_t, protocol::Message>> answers_;
};

TEST_F(TerminalMediaTest, VideoAndAudioOpenedTogetherMakeOneRequestAndTheAnswerNamesTheCodecs) {
    open(1, 1, true, false);
    open(1, 1, false, true);
    run(100ms);
    const auto r = requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0],
              (jt1078::RealtimeRequest{"10.1.2.3", 7612, 7612, 1, jt1078::RequestedData::AudioVideo,
                                       jt1078::StreamType::Main}));
    EXPECT_TRUE(answers_.empty());  // nothing has come yet
    frame(1, jt1078::DataType::IFrame, jt1078::kH264);
    EXPECT_TRUE(accepted_);
    ASSERT_EQ(answers_.size(), 1u);  // the video's; the sound's waits for it
    frame(1, jt1078::DataType::Audio, jt1078::kG711A);
    ASSERT_EQ(answers_.size(), 2u);
    const auto* ok = std::get_if<protocol::MediaOk>(&answers_[0].second);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->video, (protocol::VideoFormat{"h264", 0, 0, 0}));
    EXPECT_FALSE(ok->audio);  // this media_open asked for video only
    const auto* okAudio = std::get_if<protocol::MediaOk>(&answers_[1].second);
    ASSERT_NE(okAudio, nullptr);
    EXPECT_EQ(okAudio->audio, (protocol::AudioFormat{"pcm_alaw", 8000, 1, 0, {}}));
    EXPECT_EQ(okAudio->stream, ok->stream);
}

TEST_F(TerminalMediaTest, EventServersShareAStreamAndTheLastOneToLeaveClosesIt) {
    open(1, 2, true, false);
    run(100ms);
    frame(2, jt1078::DataType::IFrame, jt1078::kH265);
    open(2, 2, true, true);  // a second event server, with sound
    run(100ms);
    ASSERT_EQ(requests().size(), 2u);  // asked again, now with audio
    EXPECT_EQ(requests()[1].data, jt1078::RequestedData::AudioVideo);
    runUntil([&] { return answers_.size() >= 2; });  // no audio comes: the answer goes without it
    ASSERT_EQ(answers_.size(), 2u);
    EXPECT_EQ(std::get<protocol::MediaOk>(answers_[1].second).video->codec, "h265");

    media_.close(2, protocol::MediaClose{kPhone, 2, false, true});
    ASSERT_EQ(closes().size(), 1u);
    EXPECT_EQ(closes()[0].close, jt1078::CloseWhat::AudioOnly);
    media_.forgetClient(2);
    EXPECT_EQ(closes().size(), 1u);  // the first still watches
    media_.close(1, protocol::MediaClose{kPhone, 2, true, true});
    ASSERT_EQ(closes().size(), 2u);
    EXPECT_EQ(closes()[1], (jt1078::TransmissionControl{2, jt1078::ControlCommand::Close,
                                                        jt1078::CloseWhat::AudioAndVideo,
                                                        jt1078::StreamType::Main}));
    EXPECT_EQ(media_.streams(), 0u);
    // What was in flight when it was told to stop is dropped quietly: the
    // terminal's media connection stays, nothing is relayed.
    const auto relayed = media_.counters().frames;
    frame(2, jt1078::DataType::PFrame, jt1078::kH264);
    EXPECT_TRUE(accepted_);
    EXPECT_EQ(media_.counters().frames, relayed);
    // Another channel nobody asked for is refused as before.
    frame(3, jt1078::DataType::PFrame, jt1078::kH264);
    EXPECT_FALSE(accepted_);
}

TEST_F(TerminalMediaTest, RefusalsSilenceAndStrangersAreAnsweredWithTheReason) {
    // A packet for a channel nobody opened.
    frame(3, jt1078::DataType::IFrame, jt1078::kH264);
    EXPECT_FALSE(accepted_);

    open(1, 1, true, false);
    run(100ms);
    jt808::Message answer;
    answer.header.msgId = jt808::msg::kTerminalResponse;
    answer.body = jt808::encodePlatformResponse(0, jt1078::kMsgRealtimeRequest,
                                                jt808::ResponseResult::Failure);
    EXPECT_TRUE(media_.onTerminalMessage(kPhone, answer));
    ASSERT_EQ(answers_.size(), 1u);
    const auto* failed = std::get_if<protocol::MediaFailed>(&answers_[0].second);
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->reason, "the terminal refused to stream (result 1)");

    open(1, 3, true, false);
    runUntil([&] { return answers_.size() >= 2; });  // the terminal accepts but sends nothing
    ASSERT_EQ(answers_.size(), 2u);
    EXPECT_EQ(std::get<protocol::MediaFailed>(answers_[1].second).reason,
              "no media from the terminal within 1 s");
    EXPECT_EQ(closes().size(), 1u);  // the silent one told to stop; the refusing one streams not

    connected_ = false;
    open(1, 4, true, false);
    run(100ms);
    ASSERT_EQ(answers_.size(), 3u);
    EXPECT_EQ(std::get<protocol::MediaFailed>(answers_[2].second).reason,
              "terminal " + kPhone + " is not connected");
}

// Forged frames for the SIM and channel of a stream being recorded: from
// another address, another connection, or in another codec, none is taken.
TEST_F(TerminalMediaTest, AStreamIsTakenFromItsTerminalsAddressAndFirstSourceInItsCodecOnly) {
    media_.setTerminalAddress(
        [](const std::string& phone) { return phone == kPhone ? "127.0.0.1" : ""; });
    open(1, 1, true, false);
    run(100ms);
    const MediaSource real{"127.0.0.1", 7};
    frame(1, jt1078::DataType::IFrame, jt1078::kH264, real);
    EXPECT_TRUE(accepted_);
    const auto relayed = media_.counters().frames;

    int forgedTaken = 0;
    for (int i = 0; i < 50; ++i) {
        frame(1, jt1078::DataType::IFrame, jt1078::kH264, {"127.0.0.2", 100u + i});
        forgedTaken += accepted_;
        frame(1, jt1078::DataType::PFrame, jt1078::kH264, {"127.0.0.1", 8});  // a second connection
        forgedTaken += accepted_;
        frame(1, jt1078::DataType::PFrame, jt1078::kH265, real);  // typed H.265 into H.264
        forgedTaken += accepted_;
    }
    EXPECT_EQ(forgedTaken, 0);
    EXPECT_EQ(media_.counters().frames, relayed);

    frame(1, jt1078::DataType::PFrame, jt1078::kH264, real);
    EXPECT_TRUE(accepted_);
    // Its connection gone, the terminal's next one takes the stream up.
    media_.sourceGone(7);
    frame(1, jt1078::DataType::PFrame, jt1078::kH264, {"127.0.0.1", 9});
    EXPECT_TRUE(accepted_);
}

}  // namespace
}  // namespace center
