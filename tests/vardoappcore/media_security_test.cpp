// Media from whoever can reach the library's media port, played by hand over
// loopback: a center that logs the library in and streams a camera from its
// media port, and a second socket that forges the camera's datagrams.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "protocol/json_codec.h"
#include "protocol/media_datagram.h"
#include "sim/mjpeg_encoder.h"
#include "testsupport/avi/avi_probe.h"
#include "testsupport/loopback/loopback.h"
#include "testsupport/recording_target/recording_target.h"
#include "vardoappcore/api/vardo_app_core.h"
#include "vardoappcore/library_log.h"
#include "vardoappcore/media_counters.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace protocol = vardo::protocol;

// A UDP socket on 127.0.0.1.
class UdpSocket {
public:
    UdpSocket() {
        const testsim::BoundUdp udp = testsim::bindLoopbackUdp();
        fd_ = udp.fd;
        port_ = udp.port;
    }
    ~UdpSocket() { ::close(fd_); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    std::uint16_t port() const { return port_; }

    void sendTo(std::uint16_t port, const std::vector<std::uint8_t>& bytes) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }

    // The next datagram's bytes and its sender's port; nothing at the deadline.
    std::optional<std::pair<std::vector<std::uint8_t>, std::uint16_t>> receive(
        std::chrono::milliseconds limit = 10s) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> bytes(2048);
        sockaddr_in from{};
        socklen_t n = sizeof from;
        const auto got =
            ::recvfrom(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &n);
        if (got < 0) {
            return std::nullopt;
        }
        bytes.resize(static_cast<std::size_t>(got));
        return std::make_pair(bytes, ntohs(from.sin_port));
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

constexpr std::uint32_t kStream = 0x5EC0713;

class MediaSecurityTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vardo-media-sec-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        vardo::setLogSink([this](std::string_view line) { log_.add(line); });
        app_ = MyVardoApp_Construct(&window_, WM_DEVICE_NOTIFY);
        ASSERT_NE(app_, 0u);
        sim::MjpegEncoder encoder(64, 48, 10);
        sim::YuvImage image(64, 48);
        jpeg_ = encoder.encode(image);
        ASSERT_FALSE(jpeg_.empty()) << encoder.error();
    }

    void TearDown() override {
        MyVardoApp_Destruct(app_);
        vardo::setLogSink({});
        std::filesystem::remove_all(dir_);
    }

    // Logs the library in, brings camera "cam" online, starts its video and
    // a recording, answers the media request and takes the registration:
    // afterwards `client_` is the library's media port and `registration_`
    // the registration's bytes. `loginOk` is the center's answer to the
    // login; `oldestOnly`: the center refuses every version but the first,
    // as a center of an older release does.
    void startCameraRecording(const std::string& loginOk = R"({"op":"login_ok","media_key":42})",
                              bool oldestOnly = false) {
        MyVardoApp_SetCenterServer(app_, "127.0.0.1", listener_.port(), media_.port());
        MyVardoApp_Login(app_, "root", "kiwa");
        control_ = listener_.accept();
        ASSERT_TRUE(control_.valid());
        auto login = control_.readLine();
        ASSERT_TRUE(login.has_value());
        loginVersions_.push_back(json::parse(*login)["version"]);
        if (oldestOnly && loginVersions_.back() != 1) {
            control_.send(R"({"op":"login_failed","reason":"unsupported protocol version )" +
                          std::to_string(loginVersions_.back()) + "\"}\n");
            control_.close();
            control_ = listener_.accept();
            ASSERT_TRUE(control_.valid()) << "no second login came " << log_.all();
            login = control_.readLine();
            ASSERT_TRUE(login.has_value());
            loginVersions_.push_back(json::parse(*login)["version"]);
        }
        control_.send(loginOk + "\n");
        control_.send(
            "{\"op\":\"online\",\"dev\":\"cam\",\"name\":\"Cam\",\"channels\":1}\n"
            "{\"op\":\"synced\",\"count\":1}\n");
        const auto online = window_.next();
        ASSERT_TRUE(online && online->kind == NOTIFY_DEVICE_ONLINE) << log_.all();
        channel_ = MyVardoDev_CreateChannel(static_cast<HVARDODEV>(online->device), 1, &window_);
        ASSERT_NE(channel_, 0u);
        MyVardoChn_VSourceStart(channel_);
        MyVardoChn_RecordStart(channel_, (dir_ + "/cam.avi").c_str(), 0);
        ASSERT_EQ(MyVardoChn_IsRecording(channel_), 1) << log_.all();

        for (;;) {
            const auto line = control_.readLine();
            ASSERT_TRUE(line.has_value()) << "no media_open came";
            if (json::parse(*line).value("op", "") == "media_open") {
                break;
            }
        }
        control_.send(
            json{{"op", "media_ok"},
                 {"dev", "cam"},
                 {"chn", 1},
                 {"stream", kStream},
                 {"video", {{"codec", "mjpeg"}, {"width", 64}, {"height", 48}, {"fps", 12}}}}
                .dump() +
            "\n");
        const auto registration = media_.receive();
        ASSERT_TRUE(registration.has_value()) << "no registration came";
        registration_ = registration->first;
        client_ = registration->second;
        const auto answer = protocol::decodeLine(loginOk);
        const auto& ok = std::get<protocol::LoginOk>(answer.message);
        ASSERT_EQ(protocol::decodeRegister(registration_),
                  (protocol::MediaKey{ok.mediaKey, ok.wideKey}));
    }

    void sendFrame(const UdpSocket& from, std::uint32_t sequence) const {
        for (const auto& datagram :
             protocol::fragmentFrame(protocol::MediaKind::Video, kStream, sequence,
                                     1'700'000'000'000ULL + sequence * 1000ULL / 12, jpeg_)) {
            from.sendTo(client_, datagram);
        }
    }

    // Waits until the library has assembled `frames` frames.
    bool waitForFrames(std::uint64_t frames) const {
        for (int i = 0; i < 500; ++i) {
            if (vardo::mediaCounters(app_).framesAssembled >= frames) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    std::string dir_;
    testlib::RecordingTarget window_;
    testlib::LogCapture log_;
    HVARDOAPP app_ = 0;
    HVARDOCHN channel_ = 0;
    std::vector<std::uint8_t> jpeg_;
    testsim::RawListener listener_;
    testsim::LineConnection control_;
    UdpSocket media_;  // the center's media port
    std::uint16_t client_ = 0;
    std::vector<std::uint8_t> registration_;
    std::vector<int> loginVersions_;
};

TEST_F(MediaSecurityTest, ACenterOfThisReleaseGetsTheWideKeyBack) {
    ASSERT_NO_FATAL_FAILURE(
        startCameraRecording(R"({"op":"login_ok","media_key":"8877665544332211"})"));
    EXPECT_EQ(loginVersions_, std::vector<int>{protocol::kProtocolVersion});
    EXPECT_EQ(registration_.size(), protocol::kWideRegisterBytes);
    EXPECT_EQ(protocol::decodeRegister(registration_),
              (protocol::MediaKey{0x8877665544332211, true}));
}

TEST_F(MediaSecurityTest, ACenterOfAnOlderReleaseIsAskedInItsVersionAndItsNarrowKeyWorks) {
    ASSERT_NO_FATAL_FAILURE(startCameraRecording(R"({"op":"login_ok","media_key":42})", true));
    EXPECT_EQ(loginVersions_, (std::vector<int>{protocol::kProtocolVersion, 1}));
    EXPECT_EQ(registration_.size(), protocol::kRegisterBytes);
    EXPECT_EQ(protocol::decodeRegister(registration_), protocol::MediaKey{42});
    EXPECT_TRUE(log_.waitFor("logging in with version 1")) << log_.all();
    sendFrame(media_, 1);
    EXPECT_TRUE(waitForFrames(1)) << log_.all();
}

TEST_F(MediaSecurityTest, ACenterThatRefusesTheOldestVersionTooIsNotAskedForever) {
    MyVardoApp_SetCenterServer(app_, "127.0.0.1", listener_.port(), media_.port());
    MyVardoApp_Login(app_, "root", "kiwa");
    for (const int expected : {protocol::kProtocolVersion, 1}) {
        auto c = listener_.accept();
        ASSERT_TRUE(c.valid());
        const auto login = c.readLine();
        ASSERT_TRUE(login.has_value());
        const int version = json::parse(*login)["version"];
        EXPECT_EQ(version, expected);
        c.send(R"({"op":"login_failed","reason":"unsupported protocol version )" +
               std::to_string(version) + "\"}\n");
    }
    EXPECT_TRUE(log_.waitFor("not trying again")) << log_.all();
    EXPECT_FALSE(listener_.accept(1500ms).valid());
}

TEST_F(MediaSecurityTest, DatagramsFromAnotherPortNeverReachARecording) {
    ASSERT_NO_FATAL_FAILURE(startCameraRecording());
    UdpSocket forger;  // same address as the center, another port
    sendFrame(media_, 1);
    ASSERT_TRUE(waitForFrames(1)) << log_.all();
    // The forger knows the stream and what comes next: frames 2 to 13, and
    // one far ahead that would leave the real ones late.
    for (std::uint32_t seq = 2; seq <= 13; ++seq) {
        sendFrame(forger, seq);
    }
    sendFrame(forger, 1000);
    for (std::uint32_t seq = 2; seq <= 20; ++seq) {
        sendFrame(media_, seq);
    }
    ASSERT_TRUE(waitForFrames(20)) << log_.all();
    MyVardoChn_RecordStop(channel_);
    ASSERT_TRUE(log_.waitFor("finished")) << log_.all();

    const vardo::MediaCounters c = vardo::mediaCounters(app_);
    EXPECT_EQ(c.framesAssembled, 20u);
    EXPECT_EQ(c.lateFragments, 0u);
    EXPECT_EQ(c.framesMissing, 0u);
    const auto avi = testavi::probeAvi(dir_ + "/cam.avi");
    ASSERT_TRUE(avi.opened) << avi.error;
    EXPECT_EQ(avi.videoStream()->packets, 20);
    EXPECT_EQ(avi.videoStream()->slots, 20);
}

TEST_F(MediaSecurityTest, OneFrameFarAheadDoesNotMakeTheNextRealFramesLate) {
    ASSERT_NO_FATAL_FAILURE(startCameraRecording());
    sendFrame(media_, 1);
    ASSERT_TRUE(waitForFrames(1)) << log_.all();
    // Even from the center's own port (a stray or a spoofed source).
    sendFrame(media_, 1 + 999);
    for (std::uint32_t seq = 2; seq <= 61; ++seq) {
        sendFrame(media_, seq);
    }
    ASSERT_TRUE(waitForFrames(61)) << log_.all();
    const vardo::MediaCounters c = vardo::mediaCounters(app_);
    EXPECT_EQ(c.framesAssembled, 61u);
    EXPECT_EQ(c.lateFragments, 0u);
    EXPECT_EQ(c.outOfWindowFragments, 1u);
}

}  // namespace
