// Recording files as a player reads them back: streams, sizes, durations,
// gaps, audio kept in step, and files that cannot be written.

#include "vardoappcore/avi_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "sim/mjpeg_encoder.h"
#include "tests/vardoappcore/avi_folder_test.h"
#include "testsupport/avi/avi_probe.h"

namespace vardo {
namespace {

namespace fs = std::filesystem;
using testavi::probeAvi;

constexpr int kFps = 12;
constexpr std::uint64_t kStart = 1'700'000'000'000;  // a device clock in ms

class AviFileTest : public AviFolderTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(AviFolderTest::SetUp());
        sim::MjpegEncoder encoder(64, 48, 10);
        sim::YuvImage image(64, 48);
        jpeg_ = encoder.encode(image);
        ASSERT_FALSE(jpeg_.empty()) << encoder.error();
    }
    static std::uint64_t frameTime(int k) {
        return kStart + static_cast<std::uint64_t>(k) * 1000 / kFps;
    }

    std::vector<std::uint8_t> jpeg_;
    const StreamSetup video_{0, 0, kFps, 0};
    const StreamSetup withAudio_{0, 0, kFps, 8000};
};

TEST_F(AviFileTest, FramesAreStoredAsReceivedAtTheDevicesPace) {
    auto file = create("a.avi");
    for (int k = 0; k < 24; ++k) {
        ASSERT_TRUE(file->writeVideo(jpeg_, frameTime(k), video_));
    }
    ASSERT_TRUE(file->finish(video_));

    const auto info = probeAvi(dir_ + "/a.avi");
    ASSERT_TRUE(info.opened) << info.error;
    EXPECT_EQ(info.format, "avi");
    ASSERT_EQ(info.streams.size(), 1u);
    const auto& v = info.streams[0];
    EXPECT_EQ(v.codec, "mjpeg");
    EXPECT_EQ(v.width, 64);  // from the frames themselves
    EXPECT_EQ(v.height, 48);
    EXPECT_EQ(v.packets, 24);
    EXPECT_EQ(v.decoded, 24);
    EXPECT_EQ(v.bytes, 24 * static_cast<long long>(jpeg_.size()));  // not re-encoded
    EXPECT_GE(v.indexEntries, 24);
    EXPECT_NEAR(info.seconds, 2.0, 0.01);
}

TEST_F(AviFileTest, TimeFollowsTheDeviceClock) {
    const struct {
        const char* name;
        std::vector<std::uint64_t> times;
        int slots;  // frame times, lost frames included
        double seconds;
    } cases[] = {
        {"lost frames stay gaps",
         [] {
             std::vector<std::uint64_t> t;
             for (int k = 0; k < 18; ++k) {
                 if (k < 6 || k >= 12) {
                     t.push_back(frameTime(k));
                 }
             }
             return t;
         }(),
         18, 1.5},
        {"jitter never puts two frames in one slot",
         [] {
             std::vector<std::uint64_t> t;
             for (int k = 0; k < 24; ++k) {
                 t.push_back(frameTime(k) + (k % 2 == 1 ? 40 : 0));
             }
             return t;
         }(),
         24, 2.0},
        {"frames with one timestamp each get a slot", std::vector<std::uint64_t>(12, kStart), 12,
         1.0},
        {"a clock that jumps an hour ahead is not a gap",
         [] {
             std::vector<std::uint64_t> t;
             for (int k = 0; k < 24; ++k) {
                 t.push_back(frameTime(k) + (k >= 12 ? 3'600'000 : 0));
             }
             return t;
         }(),
         24, 2.0},
        {"a clock set back goes on after the last frame",
         [] {
             std::vector<std::uint64_t> t;
             for (int k = 0; k < 24; ++k) {
                 t.push_back(frameTime(k) - (k >= 12 ? 3'600'000 : 0));
             }
             return t;
         }(),
         24, 2.0},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = std::to_string(++n) + ".avi";
        auto file = create(name);
        for (const auto t : c.times) {
            ASSERT_TRUE(file->writeVideo(jpeg_, t, video_)) << c.name;
        }
        ASSERT_TRUE(file->finish(video_)) << c.name;
        const auto info = probeAvi(dir_ + "/" + name);
        ASSERT_TRUE(info.opened) << c.name;
        const auto* v = info.videoStream();
        ASSERT_NE(v, nullptr) << c.name;
        EXPECT_EQ(v->slots, c.slots) << c.name;
        EXPECT_EQ(v->packets, static_cast<int>(c.times.size())) << c.name;
        EXPECT_EQ(v->decoded, static_cast<int>(c.times.size())) << c.name;
        EXPECT_NEAR(info.seconds, c.seconds, 0.01) << c.name;
    }
}

TEST_F(AviFileTest, AudioStaysInStepWithSilenceForItsGaps) {
    auto file = create("av.avi");
    const std::vector<std::uint8_t> block(320, 0x55);  // 40 ms at 8 kHz
    // Audio before the first picture has no place in the file.
    ASSERT_TRUE(file->writeAudio(block, kStart - 40));
    for (int k = 0; k < 24; ++k) {
        ASSERT_TRUE(file->writeVideo(jpeg_, frameTime(k), withAudio_));
    }
    for (int b = 0; b < 50; ++b) {
        if (b >= 10 && b < 20) {
            continue;  // 400 ms lost on the way
        }
        ASSERT_TRUE(file->writeAudio(block, kStart + static_cast<std::uint64_t>(b) * 40));
    }
    ASSERT_TRUE(file->finish(withAudio_));
    EXPECT_EQ(file->counters().refused, 1u);
    EXPECT_EQ(file->counters().audioBytes, 16000u);
    EXPECT_EQ(file->counters().silenceBytes, 3200u);

    const auto info = probeAvi(dir_ + "/av.avi");
    ASSERT_TRUE(info.opened) << info.error;
    const auto* a = info.audioStream();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->codec, "pcm_mulaw");
    EXPECT_EQ(a->sampleRate, 8000);
    EXPECT_EQ(a->bytes, 16000);  // two seconds, as long as the picture
}

// Sound asked for that never comes declares no audio stream; the pictures
// held back for it meanwhile are all there, at their times.
TEST_F(AviFileTest, AudioThatNeverCameIsNoStream) {
    auto file = create("silent.avi");
    for (int k = 0; k < 24; ++k) {
        ASSERT_TRUE(file->writeVideo(jpeg_, frameTime(k), withAudio_));
    }
    ASSERT_TRUE(file->finish(withAudio_));
    const auto info = probeAvi(dir_ + "/silent.avi");
    ASSERT_TRUE(info.opened) << info.error;
    EXPECT_EQ(info.audioStream(), nullptr);
    ASSERT_NE(info.videoStream(), nullptr);
    EXPECT_EQ(info.videoStream()->decoded, 24);
    EXPECT_EQ(info.videoStream()->slots, 24);
    EXPECT_NEAR(info.seconds, 2.0, 0.01);
}

TEST_F(AviFileTest, FilesWithoutFramesOrWithoutAFinishAreStillWhole) {
    {
        auto empty = create("empty.avi");
        ASSERT_TRUE(empty->finish(StreamSetup{352, 288, kFps, 8000}));
    }
    {
        auto unfinished = create("unfinished.avi");
        for (int k = 0; k < 6; ++k) {
            ASSERT_TRUE(unfinished->writeVideo(jpeg_, frameTime(k), video_));
        }
        // Destroyed without finish(): the index is written all the same.
    }
    const auto empty = probeAvi(dir_ + "/empty.avi");
    ASSERT_TRUE(empty.opened) << empty.error;
    ASSERT_NE(empty.videoStream(), nullptr);
    EXPECT_EQ(empty.videoStream()->codec, "mjpeg");
    EXPECT_EQ(empty.videoStream()->width, 352);
    EXPECT_EQ(empty.videoStream()->packets, 0);
    // Sound was asked for and never came: no audio stream to stay empty.
    EXPECT_EQ(empty.audioStream(), nullptr);

    const auto unfinished = probeAvi(dir_ + "/unfinished.avi");
    ASSERT_TRUE(unfinished.opened) << unfinished.error;
    EXPECT_EQ(unfinished.videoStream()->decoded, 6);
    EXPECT_GE(unfinished.videoStream()->indexEntries, 6);
}

TEST_F(AviFileTest, WhatIsNoPictureIsLeftOut) {
    auto file = create("mixed.avi");
    const std::vector<std::uint8_t> garbage(500, 0xAB);
    std::vector<std::uint8_t> cut(jpeg_.begin(), jpeg_.begin() + 4);
    ASSERT_TRUE(file->writeVideo(garbage, frameTime(0), video_));
    ASSERT_TRUE(file->writeVideo(jpeg_, frameTime(1), video_));
    ASSERT_TRUE(file->writeVideo(cut, frameTime(2), video_));
    ASSERT_TRUE(file->writeVideo(jpeg_, frameTime(3), video_));
    ASSERT_TRUE(file->finish(video_));
    EXPECT_EQ(file->counters().refused, 2u);
    EXPECT_EQ(file->counters().videoFrames, 2u);
    const auto info = probeAvi(dir_ + "/mixed.avi");
    ASSERT_TRUE(info.opened);
    EXPECT_EQ(info.videoStream()->decoded, 2);
}

TEST_F(AviFileTest, FilesThatCannotBeMadeAreRefusedWithTheReason) {
    std::ofstream(dir_ + "/plain") << "a file, not a folder";
    fs::create_directory(dir_ + "/folder");
    const struct {
        std::string path;
        const char* error;
    } cases[] = {
        {"", "no file name given"},
        {dir_ + "/plain/x.avi", "cannot create the folder"},
        {dir_ + "/plain/deeper/x.avi", "cannot create the folder"},
        {dir_ + "/folder", "cannot create the file"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(AviFile::create(c.path, error)) << c.path;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.path << ": " << error;
    }
    // Missing folders are made.
    std::string error;
    auto nested = AviFile::create(dir_ + "/EventRecord/a/b/x.avi", error);
    ASSERT_TRUE(nested) << error;
    EXPECT_TRUE(nested->finish(video_));
    EXPECT_TRUE(probeAvi(dir_ + "/EventRecord/a/b/x.avi").opened);
}

TEST_F(AviFileTest, AFullDiskFailsTheFileWithTheReason) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    std::string error;
    auto file = AviFile::create("/dev/full", error);
    ASSERT_TRUE(file) << error;
    bool ok = true;
    for (int k = 0; k < 500 && ok; ++k) {
        ok = file->writeVideo(jpeg_, frameTime(k), video_);
    }
    ok = ok && file->finish(video_);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(file->failed());
    EXPECT_NE(file->error().find("No space left"), std::string::npos) << file->error();
    EXPECT_FALSE(file->writeVideo(jpeg_, frameTime(600), video_));
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

TEST_F(AviFileTest, RecordingsAreForTheOwnerAndGroupOnlyWhateverTheUmask) {
    ASSERT_EQ(::mkdir((dir_ + "/shared").c_str(), 0755), 0);
    const mode_t before = ::umask(0);
    std::string error;
    auto file = AviFile::create(dir_ + "/shared/EventRecord/X7/a.avi", error);
    ::umask(before);
    ASSERT_TRUE(file) << error;
    ASSERT_TRUE(file->writeVideo(jpeg_, frameTime(0), video_));
    ASSERT_TRUE(file->finish(video_));
    EXPECT_EQ(modeOf(dir_ + "/shared/EventRecord/X7/a.avi"), 0640u);
    EXPECT_EQ(modeOf(dir_ + "/shared/EventRecord/X7"), 0750u);
    EXPECT_EQ(modeOf(dir_ + "/shared/EventRecord"), 0750u);
    // A folder that was there keeps the mode its owner gave it.
    EXPECT_EQ(modeOf(dir_ + "/shared"), 0755u);
}

}  // namespace
}  // namespace vardo
