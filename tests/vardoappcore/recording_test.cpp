// Recording through the device library from the simulator over loopback:
// what MyVardoChn_RecordStart and its fellows leave on disk, and how the
// library copes with a lossy network, a lost connection and a full disk.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "testsupport/avi/avi_probe.h"
#include "testsupport/loopback/loopback.h"
#include "testsupport/process/sim_process.h"
#include "testsupport/recording_target/recording_target.h"
#include "vardoappcore/api/vardo_app_core.h"
#include "vardoappcore/library_log.h"
#include "vardoappcore/media_counters.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testavi::probeAvi;
using testsim::SimProcess;

class RecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vardo-rec-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        vardo::setLogSink([this](std::string_view line) { log_.add(line); });
        app_ = MyVardoApp_Construct(&window_, WM_DEVICE_NOTIFY);
        ASSERT_NE(app_, 0u);
    }

    void TearDown() override {
        MyVardoApp_Destruct(app_);
        vardo::setLogSink({});
        fs::remove_all(dir_);
    }

    // Logs in to `sim`, which brings device "cam" (four channels) online,
    // and gives the device's channels 1 to 4.
    std::vector<HVARDOCHN> loginWithCamera(SimProcess& sim) {
        sim.send("wait-login\nonline cam \"Cam 1\" 4\n");
        MyVardoApp_SetCenterServer(app_, "127.0.0.1", sim.tcpPort(), sim.udpPort());
        MyVardoApp_Login(app_, "root", "kiwa");
        const auto p = window_.next();
        EXPECT_TRUE(p && p->kind == NOTIFY_DEVICE_ONLINE) << log_.all();
        std::vector<HVARDOCHN> channels;
        for (int n = 1; n <= 4; ++n) {
            channels.push_back(
                MyVardoDev_CreateChannel(static_cast<HVARDODEV>(p ? p->device : 0), n, &window_));
        }
        return channels;
    }

    vardo::MediaCounters counters() const { return vardo::mediaCounters(app_); }

    // Waits until at least `frames` video frames went to files.
    bool waitForFrames(std::uint64_t frames) const {
        for (int i = 0; i < 600; ++i) {
            if (counters().videoFramesWritten >= frames) {
                return true;
            }
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::string dir_;
    testlib::RecordingTarget window_;
    testlib::LogCapture log_;
    HVARDOAPP app_ = 0;
};

TEST_F(RecordingTest, ARecordingHoldsTheChannelsVideoAndAudioUntilItsStop) {
    SimProcess sim;
    const auto ch = loginWithCamera(sim);
    MyVardoChn_VSourceStart(ch[0]);
    MyVardoChn_ASourceStart(ch[0]);
    MyVardoChn_VSourceStart(ch[2]);
    MyVardoChn_RecordStart(ch[0], path("EventRecord/one.avi").c_str(), 0);
    MyVardoChn_RecordStart(ch[2], path("EventRecord/three.avi").c_str(), 0);
    EXPECT_EQ(MyVardoChn_IsRecording(ch[0]), 1);
    EXPECT_EQ(MyVardoChn_IsRecording(ch[2]), 1);
    EXPECT_EQ(MyVardoChn_IsRecording(ch[1]), 0);
    ASSERT_TRUE(waitForFrames(30)) << log_.all();

    for (const auto c : {ch[0], ch[2]}) {
        MyVardoChn_VSourceStop(c);
        MyVardoChn_ASourceStop(c);
        MyVardoChn_RecordStop(c);
        EXPECT_EQ(MyVardoChn_IsRecording(c), 0);
    }
    ASSERT_TRUE(log_.waitFor("finished", 2)) << log_.all();

    const auto one = probeAvi(path("EventRecord/one.avi"));
    ASSERT_TRUE(one.opened) << one.error;
    ASSERT_EQ(one.streams.size(), 2u);
    EXPECT_EQ(one.videoStream()->codec, "mjpeg");
    EXPECT_EQ(one.videoStream()->width, 352);
    EXPECT_EQ(one.videoStream()->height, 288);
    EXPECT_GT(one.videoStream()->decoded, 10);
    EXPECT_EQ(one.videoStream()->decoded, one.videoStream()->packets);
    EXPECT_EQ(one.audioStream()->codec, "pcm_mulaw");
    EXPECT_GT(one.audioStream()->bytes, 0);

    const auto three = probeAvi(path("EventRecord/three.avi"));
    ASSERT_TRUE(three.opened) << three.error;
    ASSERT_EQ(three.streams.size(), 1u);  // its audio was never started
    EXPECT_GT(three.videoStream()->decoded, 10);
}

TEST_F(RecordingTest, StartsThatCannotWorkLeaveTheChannelNotRecording) {
    SimProcess sim;
    const auto ch = loginWithCamera(sim);
    std::ofstream(path("plain")) << "not a folder";
    MyVardoChn_VSourceStart(ch[0]);
    const struct {
        std::string path;
        int flags;
        const char* logged;
    } cases[] = {
        {path("plain/x.avi"), 0, "cannot create the folder"},
        {"", 0, "no file name given"},
        {path("flags.avi"), 1, "flags must be 0"},
    };
    for (const auto& c : cases) {
        MyVardoChn_RecordStart(ch[0], c.path.c_str(), c.flags);
        EXPECT_EQ(MyVardoChn_IsRecording(ch[0]), 0) << c.logged;
        EXPECT_TRUE(log_.waitFor(c.logged)) << log_.all();
    }
    EXPECT_FALSE(fs::exists(path("flags.avi")));
    // A second start while one runs keeps the first.
    MyVardoChn_RecordStart(ch[0], path("first.avi").c_str(), 0);
    MyVardoChn_RecordStart(ch[0], path("second.avi").c_str(), 0);
    EXPECT_TRUE(log_.waitFor("it records to '" + path("first.avi") + "' already")) << log_.all();
    EXPECT_FALSE(fs::exists(path("second.avi")));
    EXPECT_EQ(MyVardoChn_IsRecording(ch[0]), 1);
}

// An alarm across many devices at once may exhaust the process's files:
// one line says so, with the limit, instead of one per channel; the count of
// the others follows once a file opens again.
TEST_F(RecordingTest, RunningOutOfFilesIsLoggedOnceForAStorm) {
    SimProcess sim;
    const auto ch = loginWithCamera(sim);
    for (const auto c : ch) {
        MyVardoChn_VSourceStart(c);
    }
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The lowest free descriptor becomes the limit: every new file fails.
    const int lowestFree = ::dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    for (std::size_t n = 0; n < ch.size(); ++n) {
        MyVardoChn_RecordStart(ch[n], path("storm" + std::to_string(n) + ".avi").c_str(), 0);
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

    for (const auto c : ch) {
        EXPECT_EQ(MyVardoChn_IsRecording(c), 0);
    }
    EXPECT_EQ(log_.count("Too many open files"), 1) << log_.all();
    EXPECT_EQ(log_.count("files open (raise LimitNOFILE"), 1) << log_.all();
    MyVardoChn_RecordStart(ch[0], path("after.avi").c_str(), 0);
    EXPECT_EQ(MyVardoChn_IsRecording(ch[0]), 1);
    EXPECT_TRUE(log_.waitFor("3 more recordings could not be opened: too many open files"))
        << log_.all();
}

TEST_F(RecordingTest, AFullDiskEndsTheRecordingAndNothingElse) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    SimProcess sim;
    const auto ch = loginWithCamera(sim);
    MyVardoChn_VSourceStart(ch[0]);
    MyVardoChn_VSourceStart(ch[1]);
    MyVardoChn_RecordStart(ch[0], "/dev/full", 0);
    MyVardoChn_RecordStart(ch[1], path("fine.avi").c_str(), 0);
    EXPECT_EQ(MyVardoChn_IsRecording(ch[0]), 1);  // the file could be opened
    ASSERT_TRUE(log_.waitFor("failed: cannot write")) << log_.all();
    EXPECT_NE(log_.all().find("No space left"), std::string::npos) << log_.all();
    EXPECT_EQ(MyVardoChn_IsRecording(ch[0]), 0);
    EXPECT_EQ(MyVardoChn_IsRecording(ch[1]), 1);
    // The other channel records on.
    const auto written = counters().videoFramesWritten;
    ASSERT_TRUE(waitForFrames(written + 12)) << log_.all();
    MyVardoChn_RecordStop(ch[1]);
    ASSERT_TRUE(log_.waitFor("finished")) << log_.all();
    EXPECT_TRUE(probeAvi(path("fine.avi")).opened);
    EXPECT_EQ(counters().recordingsFailed, 1u);
}

TEST_F(RecordingTest, LogoutAndDestructFinishEveryOpenFile) {
    const struct {
        const char* name;
        void (*end)(HVARDOAPP);
    } ways[] = {
        {"logout", [](HVARDOAPP app) { MyVardoApp_Logout(app); }},
        {"destruct", [](HVARDOAPP app) { MyVardoApp_Destruct(app); }},
    };
    for (const auto& way : ways) {
        SimProcess sim;
        const auto ch = loginWithCamera(sim);
        std::vector<std::string> files;
        for (int n = 0; n < 4; ++n) {
            files.push_back(path(std::string(way.name) + std::to_string(n + 1) + ".avi"));
            MyVardoChn_VSourceStart(ch[static_cast<std::size_t>(n)]);
            MyVardoChn_RecordStart(ch[static_cast<std::size_t>(n)], files.back().c_str(), 0);
        }
        ASSERT_TRUE(waitForFrames(counters().videoFramesWritten + 24)) << log_.all();
        way.end(app_);
        for (const auto c : ch) {
            EXPECT_EQ(MyVardoChn_IsRecording(c), 0) << way.name;
        }
        if (std::string(way.name) == "logout") {
            ASSERT_TRUE(log_.waitFor("finished", 4)) << log_.all();
        }
        for (const auto& f : files) {
            const auto info = probeAvi(f);
            ASSERT_TRUE(info.opened) << way.name << " " << f;
            EXPECT_GE(info.videoStream()->indexEntries, info.videoStream()->packets) << f;
            EXPECT_EQ(info.videoStream()->decoded, info.videoStream()->packets) << f;
        }
    }
    app_ = MyVardoApp_Construct(&window_, WM_DEVICE_NOTIFY);  // for TearDown
}

// A UDP port on which the center sends nothing (a wrong setting, a closed
// firewall): said once per login, and recordings that got nothing leave no
// empty file behind but are counted.
TEST_F(RecordingTest, NoMediaIsNamedOnceAndLeavesNoEmptyFiles) {
    SimProcess sim;
    sim.send("wait-login\nonline cam \"Cam 1\" 4\n");
    const testsim::BoundUdp silent = testsim::bindLoopbackUdp();  // nobody sends from it
    MyVardoApp_SetCenterServer(app_, "127.0.0.1", sim.tcpPort(), silent.port);
    MyVardoApp_Login(app_, "root", "kiwa");
    const auto p = window_.next();
    ASSERT_TRUE(p && p->kind == NOTIFY_DEVICE_ONLINE) << log_.all();
    std::vector<HVARDOCHN> ch;
    for (int n = 1; n <= 2; ++n) {
        ch.push_back(MyVardoDev_CreateChannel(static_cast<HVARDODEV>(p->device), n, &window_));
        MyVardoChn_VSourceStart(ch.back());
        MyVardoChn_RecordStart(ch.back(), path("empty" + std::to_string(n) + ".avi").c_str(), 0);
    }
    const std::string warning = "no media from 127.0.0.1:" + std::to_string(silent.port) +
                                "; check EventServer_CenterServerUdpPort and the firewall";
    ASSERT_TRUE(log_.waitFor(warning)) << log_.all();
    for (const auto c : ch) {
        MyVardoChn_VSourceStop(c);
        MyVardoChn_RecordStop(c);
    }
    ASSERT_TRUE(log_.waitFor("got no media: the empty file is removed", 2)) << log_.all();
    // The writer adds up its counters after the batch that logged.
    for (int i = 0; i < 600 && counters().recordingsEmpty < 2; ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(log_.count(warning), 1) << log_.all();
    EXPECT_FALSE(fs::exists(path("empty1.avi")));
    EXPECT_FALSE(fs::exists(path("empty2.avi")));
    EXPECT_EQ(counters().recordingsEmpty, 2u);
    EXPECT_EQ(MyVardoApp_GetEmptyRecordings(app_), 2u);
    close(silent.fd);
}

TEST_F(RecordingTest, ALostConnectionPausesTheRecordingButDoesNotEndIt) {
    SimProcess sim;
    const auto ch = loginWithCamera(sim);
    MyVardoChn_VSourceStart(ch[0]);
    MyVardoChn_RecordStart(ch[0], path("across.avi").c_str(), 0);
    ASSERT_TRUE(waitForFrames(12)) << log_.all();
    sim.send("drop\nwait-login\n");
    ASSERT_TRUE(log_.waitFor("logged in to the center server")) << log_.all();
    // Media is asked for again on the new connection and goes on into the file.
    const auto before = counters().videoFramesWritten;
    ASSERT_TRUE(waitForFrames(before + 12)) << log_.all();
    EXPECT_EQ(MyVardoChn_IsRecording(ch[0]), 1);
    MyVardoChn_RecordStop(ch[0]);
    ASSERT_TRUE(log_.waitFor("finished")) << log_.all();
    const auto info = probeAvi(path("across.avi"));
    ASSERT_TRUE(info.opened);
    EXPECT_GE(info.videoStream()->decoded, static_cast<int>(before + 12));
}

TEST_F(RecordingTest, ALossyNetworkStillGivesWholePictures) {
    SimProcess sim({"--media-drop", "10", "--media-reorder", "10"});
    const auto ch = loginWithCamera(sim);
    MyVardoChn_VSourceStart(ch[0]);
    MyVardoChn_ASourceStart(ch[0]);
    MyVardoChn_RecordStart(ch[0], path("lossy.avi").c_str(), 0);
    ASSERT_TRUE(waitForFrames(20)) << log_.all();
    MyVardoChn_RecordStop(ch[0]);
    ASSERT_TRUE(log_.waitFor("finished")) << log_.all();

    const auto c = counters();
    // With a tenth of the datagrams gone, most frames of six or so lose one.
    EXPECT_GT(c.framesIncomplete + c.framesMissing, 0u);
    const auto info = probeAvi(path("lossy.avi"));
    ASSERT_TRUE(info.opened);
    const auto* v = info.videoStream();
    // Every frame in the file is a whole picture; the lost ones are gaps.
    EXPECT_EQ(v->decoded, v->packets);
    EXPECT_EQ(static_cast<std::uint64_t>(v->decoded), c.videoFramesWritten);
    EXPECT_GT(v->slots, v->packets);
}

TEST_F(RecordingTest, MediaTheFilesCannotHoldIsNamedNotRecorded) {
    testsim::RawListener center;
    MyVardoApp_SetCenterServer(app_, "127.0.0.1", center.port(), 9);
    MyVardoApp_Login(app_, "root", "kiwa");
    testsim::LineConnection peer = center.accept();
    ASSERT_TRUE(peer.readLine().has_value());
    peer.send(
        "{\"op\":\"login_ok\",\"media_key\":1}\n"
        "{\"op\":\"online\",\"dev\":\"x\",\"name\":\"X\",\"channels\":1}\n");
    const auto online = window_.next();
    ASSERT_TRUE(online.has_value());
    const HVARDOCHN ch =
        MyVardoDev_CreateChannel(static_cast<HVARDODEV>(online->device), 1, &window_);
    const struct {
        const char* parts;
        const char* logged;
    } cases[] = {
        {R"("audio":{"codec":"pcm_mulaw","rate":96000})", "at 96000 Hz cannot be recorded"},
        {R"("audio":{"codec":"aac","rate":64000,"config":"1188"})",
         "at 64000 Hz cannot be recorded"},
    };
    for (const auto& c : cases) {
        MyVardoChn_VSourceStart(ch);
        MyVardoChn_ASourceStart(ch);
        ASSERT_TRUE(peer.readLine().has_value());  // media_open of the video
        ASSERT_TRUE(peer.readLine().has_value());  // and of the audio
        peer.send(std::string(R"({"op":"media_ok","dev":"x","chn":1,"stream":5,)") + c.parts +
                  "}\n");
        EXPECT_TRUE(log_.waitFor(c.logged)) << log_.all();
        MyVardoChn_VSourceStop(ch);
        MyVardoChn_ASourceStop(ch);
        ASSERT_TRUE(peer.readLine().has_value());  // media_close, twice
        ASSERT_TRUE(peer.readLine().has_value());
    }
}

}  // namespace
