// A real terminal's cameras end to end: a terminal (played by the test over
// its signalling connection, its cameras by the terminal simulator's media
// sender) raises an alarm; vardo-center asks it to stream, takes its stream
// packets and relays the frames; the headless event server records the
// ticked channels. The files are read back as a player would read them.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <asio.hpp>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <thread>

#include "jt1078/av_control.h"
#include "jt1078/packetizer.h"
#include "jt1078/payload_type.h"
#include "jt1078/stream_packet.h"
#include "jt808/general_response.h"
#include "jt808/message_ids.h"
#include "sim/terminal/media_sender.h"
#include "sim/terminal/shared_camera.h"
#include "tests/center/test_terminal.h"
#include "testsupport/avi/avi_probe.h"
#include "testsupport/process/center_process.h"
#include "testsupport/process/child_process.h"
#include "testsupport/process/event_server_run.h"

namespace e2e {
namespace {

using centertest::makeLocation;
using centertest::TestTerminal;
using namespace std::chrono_literals;
using testavi::aviFilesIn;
using testavi::probeAvi;

constexpr int kDuration = 3;
const std::string kPhone = "013912344329";

// The terminal's cameras: started and stopped as the center asks, on a
// thread of their own.
class Cameras {
public:
    // `shared`: every channel sends the frames of one encoder (the
    // simulator's load-test cameras) instead of its own.
    Cameras(double loss, bool shared)
        : loss_(loss), shared_(shared), work_(asio::make_work_guard(io_)) {
        thread_ = std::thread([this] { io_.run(); });
    }
    ~Cameras() {
        asio::post(io_, [this] {
            for (auto& [channel, sender] : senders_) {
                sender->stop();
            }
            senders_.clear();
        });
        work_.reset();
        thread_.join();
    }

    // Carries out the center's commands until `done` says so or time is up;
    // every command is answered with success.
    template <class Done>
    void serve(TestTerminal& terminal, Done done, std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < end) {
            const auto m = terminal.receive(200ms);
            if (!m) {
                continue;
            }
            if (m->header.msgId == jt1078::kMsgRealtimeRequest) {
                const auto r = jt1078::decodeRealtimeRequest(m->body);
                ASSERT_TRUE(r);
                ++requests;
                requestedAudio[r->channel] = r->data == jt1078::RequestedData::AudioVideo;
                answer(terminal, *m);
                start(*r);
            } else if (m->header.msgId == jt1078::kMsgTransmissionControl) {
                const auto c = jt1078::decodeTransmissionControl(m->body);
                ASSERT_TRUE(c);
                ++closes;
                answer(terminal, *m);
                if (c->close != jt1078::CloseWhat::AudioOnly) {
                    stop(c->channel);
                }
            }
        }
    }

    int requests = 0;
    int closes = 0;
    std::map<int, bool> requestedAudio;

private:
    static void answer(TestTerminal& terminal, const jt808::Message& m) {
        terminal.send(jt808::msg::kTerminalResponse,
                      jt808::encodePlatformResponse(m.header.serial, m.header.msgId,
                                                    jt808::ResponseResult::Ok));
    }
    void start(const jt1078::RealtimeRequest& r) {
        sim::terminal::MediaSenderConfig c;
        c.host = r.serverAddress;
        c.port = r.tcpPort;
        c.sim = kPhone;
        c.channel = r.channel;
        c.audio = r.data == jt1078::RequestedData::AudioVideo;
        c.label = "T4329";
        c.loss = loss_;
        c.seed = r.channel;
        asio::post(io_, [this, c]() mutable {
            if (shared_) {
                c.camera = sharedCameras_.get(c.width, c.height, c.fps, c.keyInterval, c.bitRate);
            }
            auto sender = std::make_shared<sim::terminal::MediaSender>(
                io_, c,
                [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
            senders_[c.channel] = sender;
            sender->start();
        });
    }
    void stop(int channel) {
        asio::post(io_, [this, channel] {
            if (const auto it = senders_.find(channel); it != senders_.end()) {
                it->second->stop();
                senders_.erase(it);
            }
        });
    }

    double loss_;
    bool shared_;
    sim::terminal::SharedCameras sharedCameras_;  // io thread only
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::map<int, std::shared_ptr<sim::terminal::MediaSender>> senders_;  // io thread only
    std::thread thread_;
};

class TerminalVideoEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vardo-video-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        data_ = pattern;
        std::ofstream(data_ + "/allowed-terminals") << kPhone << "\n";
    }
    void TearDown() override { std::filesystem::remove_all(data_); }

    // Runs the chain with an alarm; the recordings' files. `attack`, when
    // given, runs on a thread of its own with the media port once the
    // alarm is raised.
    std::vector<std::string> recordAlarm(double loss,
                                         std::function<void(std::uint16_t)> attack = {},
                                         bool sharedEncoder = false) {
        CenterProcess center(data_);
        EXPECT_TRUE(center.started()) << center.log();
        RunSettings settings;
        settings.udpPort = center.udpPort();
        settings.recordDuration = kDuration;
        settings.args = {"--channels", "1,3"};
        EventServerRun server(center.tcpPort(), settings);
        server.start();
        EXPECT_TRUE(center.waitForLog("logged in as 'root'")) << center.log() << server.log();

        TestTerminal terminal(center.jt808Port(), kPhone);
        EXPECT_EQ(terminal.authenticate(terminal.registerAs("粤B12345")), 0) << center.log();
        // The online row tells that the event server has created its channels.
        EXPECT_TRUE(server.waitForRows(1, 1)) << server.log();
        constexpr std::uint32_t kEmergency = 1;
        terminal.send(jt808::msg::kLocation, jt808::encodeLocation(makeLocation(
                                                 22.5, 114.0, 30, 90, "261208100000", kEmergency)));
        Cameras cameras(loss, sharedEncoder);
        std::thread attacker;
        if (attack) {
            attacker = std::thread(attack, center.mediaPort());
        }
        cameras.serve(
            terminal,
            [&] { return testsim::countOf(server.log(), "finished") >= 2 && cameras.closes >= 2; },
            30s);
        if (attacker.joinable()) {
            attacker.join();
        }
        EXPECT_EQ(cameras.requests, 2) << center.log();
        EXPECT_TRUE(cameras.requestedAudio[1]);  // channel 1 records its sound
        EXPECT_FALSE(cameras.requestedAudio[3]);
        EXPECT_EQ(cameras.closes, 2) << center.log();
        EXPECT_EQ(server.stop(), 0) << server.log();
        log_ = server.log() + center.log();
        // The files outlive the event server's folder.
        std::vector<std::string> kept;
        for (const auto& f : aviFilesIn(server.home() + "/EventRecord")) {
            kept.push_back(data_ + "/" + std::filesystem::path(f).filename().string());
            std::filesystem::copy_file(f, kept.back());
        }
        return kept;
    }

    std::string data_;
    std::string log_;
};

void expectPlayableH264(const std::string& path, bool audio) {
    const auto info = probeAvi(path);
    ASSERT_TRUE(info.opened) << path << ": " << info.error;
    const auto* v = info.videoStream();
    ASSERT_NE(v, nullptr) << path;
    EXPECT_EQ(v->codec, "h264") << path;
    EXPECT_EQ(v->width, 352) << path;
    EXPECT_EQ(v->height, 288) << path;
    EXPECT_GT(v->packets, 25) << path;
    EXPECT_TRUE(v->firstDecoded) << path;
    // The dialog stops a recording at the first one-second tick past its
    // start second plus the duration; the file starts at the first key frame.
    EXPECT_GE(info.seconds, kDuration - 1.0) << path;
    EXPECT_LE(info.seconds, kDuration + 2.0) << path;
    if (audio) {
        ASSERT_NE(info.audioStream(), nullptr) << path;
        EXPECT_EQ(info.audioStream()->codec, "pcm_alaw") << path;
        EXPECT_GT(info.audioStream()->bytes, 8000) << path;
    } else {
        EXPECT_EQ(info.audioStream(), nullptr) << path;
    }
}

TEST_F(TerminalVideoEndToEnd, AnAlarmRecordsTheTickedChannelsAsTheCamerasSentThem) {
    const auto files = recordAlarm(0);
    ASSERT_EQ(files.size(), 2u) << log_;
    EXPECT_NE(files[0].find("-chn01-"), std::string::npos);
    expectPlayableH264(files[0], true);
    expectPlayableH264(files[1], false);
    const auto info = probeAvi(files[0]);  // kept alive while its stream is read
    const auto* v = info.videoStream();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->decoded, v->packets) << files[0];
}

// The load tests' cameras: both channels send one encoder's frames, the one
// asked second joining at a key frame, and every frame still decodes.
TEST_F(TerminalVideoEndToEnd, ChannelsSharingOneEncoderRecordEveryFrameDecodable) {
    const auto files = recordAlarm(0, {}, true);
    ASSERT_EQ(files.size(), 2u) << log_;
    expectPlayableH264(files[0], true);
    expectPlayableH264(files[1], false);
    for (const auto& file : files) {
        const auto info = probeAvi(file);
        const auto* v = info.videoStream();
        ASSERT_NE(v, nullptr) << file;
        EXPECT_EQ(v->decoded, v->packets) << file;
    }
}

TEST_F(TerminalVideoEndToEnd, FivePercentOfPacketsLostStillGivesPlayableFiles) {
    const auto files = recordAlarm(0.05);
    ASSERT_EQ(files.size(), 2u) << log_;
    expectPlayableH264(files[0], true);
    expectPlayableH264(files[1], false);
}

// Frames of another clip for the terminal's SIM and channel while it streams
// its alarm video: from another machine over TCP and UDP, and from a second
// connection of the terminal's own address. None may reach the recording.
TEST_F(TerminalVideoEndToEnd, ForgedFramesReachNoRecording) {
    static const std::string kMarker = "FORGED-FRAME-";
    const auto forge = [](std::uint16_t mediaPort) {
        std::this_thread::sleep_for(1500ms);  // the real stream flows by now
        jt1078::PacketHeader h;
        h.sim = kPhone;
        h.channel = 1;
        h.payloadType = jt1078::kH264;
        std::string body;
        while (body.size() < 900) {
            body += kMarker;
        }
        const std::vector<std::uint8_t> bytes(body.begin(), body.end());
        asio::io_context io;
        const asio::ip::tcp::endpoint port(asio::ip::make_address("127.0.0.1"), mediaPort);
        for (const char* from : {"127.0.0.2", "127.0.0.1"}) {
            asio::ip::tcp::socket tcp(io);
            tcp.open(asio::ip::tcp::v4());
            tcp.bind({asio::ip::make_address(from), 0});
            tcp.connect(port);
            std::uint16_t sequence = 0;
            for (int i = 0; i < 50; ++i) {
                for (const auto& packet : jt1078::packetize(h, bytes, sequence)) {
                    asio::error_code ec;
                    asio::write(tcp, asio::buffer(packet), ec);
                }
            }
        }
        asio::ip::udp::socket udp(io, {asio::ip::make_address("127.0.0.2"), 0});
        std::uint16_t sequence = 0;
        for (int i = 0; i < 50; ++i) {
            for (const auto& packet : jt1078::packetize(h, bytes, sequence)) {
                udp.send_to(asio::buffer(packet), {asio::ip::make_address("127.0.0.1"), mediaPort});
            }
            std::this_thread::sleep_for(10ms);
        }
    };
    const auto files = recordAlarm(0, forge);
    ASSERT_EQ(files.size(), 2u) << log_;
    for (const auto& f : files) {
        std::ifstream in(f, std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        EXPECT_EQ(content.find(kMarker), std::string::npos) << f << " holds forged frames";
    }
    expectPlayableH264(files[0], true);
    EXPECT_NE(log_.find("media connection from 127.0.0.2"), std::string::npos) << log_;
}

// The media port takes streams only from terminals that were asked for them:
// anyone can reach the port, and nothing of theirs may reach an event server.
TEST_F(TerminalVideoEndToEnd, AStreamNobodyAskedForIsRefused) {
    CenterProcess center(data_);
    ASSERT_TRUE(center.started()) << center.log();
    TestTerminal terminal(center.jt808Port(), kPhone);
    ASSERT_EQ(terminal.authenticate(terminal.registerAs("粤B12345")), 0) << center.log();

    jt1078::PacketHeader h;
    h.sim = kPhone;
    h.channel = 1;
    h.payloadType = jt1078::kH264;
    const std::vector<std::uint8_t> body(100, 0x42);
    const auto packet = jt1078::encodePacket(h, body);
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    socket.connect({asio::ip::make_address("127.0.0.1"), center.mediaPort()});
    // Two packets: the second tells where the first ends.
    asio::write(socket, asio::buffer(packet));
    asio::write(socket, asio::buffer(packet));
    const timeval limit{10, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::array<char, 16> buffer{};
    asio::error_code ec;
    socket.read_some(asio::buffer(buffer), ec);
    EXPECT_EQ(ec, asio::error::eof);  // closed by the center
    EXPECT_TRUE(center.waitForLog("it sends a stream the center did not ask for")) << center.log();
}

}  // namespace
}  // namespace e2e
