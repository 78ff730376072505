// Alarm recordings end to end: the simulator streams its cameras, the
// headless event server records the ticked channels of a device that raises
// an alarm, and the files are read back as a player would read them.

#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <utility>
#include <vector>

#include "testsupport/avi/avi_probe.h"
#include "testsupport/process/event_server_run.h"
#include "testsupport/process/sim_process.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using testavi::aviFilesIn;
using testavi::probeAvi;
using testsim::SimProcess;

constexpr int kDuration = 3;

RunSettings recordingSettings(const SimProcess& sim, int duration = kDuration) {
    RunSettings s;
    s.udpPort = sim.udpPort();
    s.recordDuration = duration;
    s.args = {"--channels", "1,3"};
    return s;
}

// A simulator playing `script` and an event server recording what it sends.
struct RecordingRun {
    explicit RecordingRun(const std::string& script, int duration = kDuration,
                          std::vector<std::string> simArgs = {})
        : sim(std::move(simArgs)), server(sim.tcpPort(), recordingSettings(sim, duration)) {
        sim.send(script);
        server.start();
    }

    std::vector<std::string> files() const { return aviFilesIn(server.home() + "/EventRecord"); }

    SimProcess sim;
    EventServerRun server;
};

std::string fileName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

// A recording as it should read back: MJPEG video, whole pictures only, and
// mu-law audio when `audio`.
void expectPlayable(const std::string& path, bool audio) {
    const auto info = probeAvi(path);
    ASSERT_TRUE(info.opened) << path << ": " << info.error;
    const auto* video = info.videoStream();
    ASSERT_NE(video, nullptr) << path;
    EXPECT_EQ(video->codec, "mjpeg") << path;
    EXPECT_EQ(video->width, 352) << path;
    EXPECT_EQ(video->height, 288) << path;
    EXPECT_GT(video->packets, 0) << path;
    EXPECT_EQ(video->decoded, video->packets) << path;
    EXPECT_GE(video->indexEntries, video->packets) << path;
    if (audio) {
        ASSERT_NE(info.audioStream(), nullptr) << path;
        EXPECT_EQ(info.audioStream()->codec, "pcm_mulaw") << path;
        EXPECT_GT(info.audioStream()->bytes, 0) << path;
    } else {
        EXPECT_EQ(info.audioStream(), nullptr) << path;
    }
}

// The dialog stops a recording at the first one-second tick past its start
// second plus the duration: it lasts the duration plus up to two seconds.
void expectRecordedFor(const std::string& path, int duration) {
    const auto info = probeAvi(path);
    EXPECT_GE(info.seconds, duration - 1.0) << path;
    EXPECT_LE(info.seconds, duration + 2.0) << path;
}

TEST(RecordingEndToEnd, AnAlarmRecordsTheTickedChannelsIntoNamedFiles) {
    RecordingRun run("wait-login\nonline X7 \"Bus 7\" 4\nalarm X7 2\n");
    ASSERT_TRUE(run.server.waitForLog("finished", 2)) << run.server.log();

    const auto files = run.files();
    ASSERT_EQ(files.size(), 2u) << run.server.log();
    static const std::regex kName1("Bus 7-chn01-[0-9]{8}-[0-9]{6}\\.avi");
    static const std::regex kName3("Bus 7-chn03-[0-9]{8}-[0-9]{6}\\.avi");
    EXPECT_TRUE(std::regex_match(fileName(files[0]), kName1)) << files[0];
    EXPECT_TRUE(std::regex_match(fileName(files[1]), kName3)) << files[1];
    expectPlayable(files[0], true);  // channel 1 records its audio too
    expectPlayable(files[1], false);
    expectRecordedFor(files[0], kDuration);
    expectRecordedFor(files[1], kDuration);
    EXPECT_EQ(run.server.stop(), 0) << run.server.log();
}

TEST(RecordingEndToEnd, ASecondAlarmDuringTheRecordingAddsNoFile) {
    RecordingRun run("wait-login\nonline X7 X7 4\nalarm X7 0\nsleep 1500\nalarm X7 5\n");
    ASSERT_TRUE(run.server.waitForLog("finished", 2)) << run.server.log();
    // Time enough for a wrong third start to show.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(run.server.stop(), 0) << run.server.log();
    EXPECT_EQ(run.files().size(), 2u) << run.server.log();
    EXPECT_EQ(testsim::countOf(run.server.log(), "vardoappcore: recording device"), 2)
        << run.server.log();
    // Still stopped relative to the first alarm.
    for (const auto& f : run.files()) {
        expectRecordedFor(f, kDuration);
    }
}

TEST(RecordingEndToEnd, AnAlarmAfterTheRecordingEndedMakesNewFilesAndKeepsTheOld) {
    RecordingRun run("wait-login\nonline X7 X7 4\nalarm X7 0\n");
    ASSERT_TRUE(run.server.waitForLog("finished", 2)) << run.server.log();
    const auto first = run.files();
    ASSERT_EQ(first.size(), 2u);
    run.sim.send("alarm X7 7\n");
    ASSERT_TRUE(run.server.waitForLog("finished", 4)) << run.server.log();
    EXPECT_EQ(run.server.stop(), 0) << run.server.log();

    const auto all = run.files();
    ASSERT_EQ(all.size(), 4u) << run.server.log();
    for (const auto& f : first) {
        EXPECT_NE(std::find(all.begin(), all.end(), f), all.end()) << f;
    }
    for (const auto& f : all) {
        expectPlayable(f, f.find("-chn01-") != std::string::npos);
    }
}

TEST(RecordingEndToEnd, AServerStoppedDuringARecordingLeavesWholeFiles) {
    RecordingRun run("wait-login\nonline X7 X7 4\nalarm X7 0\n", 60);
    ASSERT_TRUE(run.server.waitForLog("vardoappcore: recording device", 2)) << run.server.log();
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(run.server.stop(), 0) << run.server.log();
    EXPECT_EQ(testsim::countOf(run.server.log(), "finished"), 2) << run.server.log();

    const auto files = run.files();
    ASSERT_EQ(files.size(), 2u);
    expectPlayable(files[0], true);
    expectPlayable(files[1], false);
    EXPECT_GT(probeAvi(files[0]).seconds, 1.0);
}

TEST(RecordingEndToEnd, FiveInAHundredDatagramsLostStillGiveAPlayableFile) {
    RecordingRun run("wait-login\nonline X7 X7 4\nalarm X7 0\n", kDuration, {"--media-drop", "5"});
    ASSERT_TRUE(run.server.waitForLog("finished", 2)) << run.server.log();
    EXPECT_EQ(run.server.stop(), 0) << run.server.log();
    for (const auto& f : run.files()) {
        const bool channel1 = f.find("-chn01-") != std::string::npos;
        expectPlayable(f, channel1);
        expectRecordedFor(f, kDuration);
        // Frames with a fragment lost are left out; the time they took stays.
        const auto info = probeAvi(f);
        ASSERT_NE(info.videoStream(), nullptr) << f;
        EXPECT_GT(info.videoStream()->slots, info.videoStream()->packets) << f;
    }
}

TEST(RecordingEndToEnd, ChannelListsThatAreNoListAreRefused) {
    const std::vector<std::string> wrong[] = {
        {"--channels", "5"},   {"--channels", "1,,3"}, {"--channels", "one"},
        {"--channels", "1;3"}, {"--channels=0"},       {"--channels"},
    };
    for (const auto& args : wrong) {
        std::vector<std::string> command{eventServerPath(), "--headless", "--home", "/tmp"};
        command.insert(command.end(), args.begin(), args.end());
        testsim::ChildProcess process(command);
        EXPECT_EQ(process.wait(), 2) << args.back();
        EXPECT_NE(process.errors().find("--channels"), std::string::npos) << process.errors();
    }
}

}  // namespace
}  // namespace e2e
