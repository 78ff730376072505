// Recordings of H.264 cameras and of the audio codecs terminals send, read
// back as a player would: the file starts at a key frame with its parameter
// sets, every frame decodes from the first, and time comes from the device.

#include <gtest/gtest.h>

#include <vector>

#include "sim/alaw.h"
#include "sim/h264_encoder.h"
#include "tests/vardoappcore/avi_folder_test.h"
#include "testsupport/avi/avi_probe.h"
#include "vardoappcore/avi_file.h"
#include "vardoappcore/h26x_stream.h"

namespace vardo {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testavi::probeAvi;

constexpr int kFps = 25;
constexpr std::uint64_t kStart = 1'700'000'000'000;

std::uint64_t frameTime(int k) {
    return kStart + static_cast<std::uint64_t>(k) * 1000 / kFps;
}

// The NAL units of an access unit, each without its start code.
std::vector<Bytes> nalUnits(const Bytes& au) {
    std::vector<Bytes> out;
    std::size_t start = au.size();
    for (std::size_t i = 0; i + 2 < au.size(); ++i) {
        if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
            if (start < au.size()) {
                std::size_t end = i;
                while (end > start && au[end - 1] == 0) {
                    --end;
                }
                out.emplace_back(au.begin() + static_cast<std::ptrdiff_t>(start),
                                 au.begin() + static_cast<std::ptrdiff_t>(end));
            }
            start = i + 3;
        }
    }
    if (start < au.size()) {
        out.emplace_back(au.begin() + static_cast<std::ptrdiff_t>(start), au.end());
    }
    return out;
}

Bytes join(const std::vector<Bytes>& nals) {
    Bytes out;
    for (const Bytes& n : nals) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), n.begin(), n.end());
    }
    return out;
}

class AviH26xTest : public AviFolderTest {
protected:
    static void SetUpTestSuite() {
        // Two seconds of a moving picture, a key frame every second.
        sim::H264Encoder encoder(352, 288, kFps, kFps, 300'000);
        ASSERT_TRUE(encoder.ok()) << encoder.error();
        sim::YuvImage image(352, 288);
        for (int k = 0; k < 3 * kFps; ++k) {
            sim::drawTestPattern(image, static_cast<std::uint64_t>(k), {"T1 CH1"});
            frames_.push_back(encoder.encode(image));
            ASSERT_FALSE(frames_.back().bytes.empty());
        }
    }
    static void TearDownTestSuite() { frames_.clear(); }

    static StreamSetup h264(int fps = 0) {
        StreamSetup s;
        s.videoCodec = VideoCodec::H264;
        s.fps = fps;
        return s;
    }

    static std::vector<sim::EncodedFrame> frames_;
};

std::vector<sim::EncodedFrame> AviH26xTest::frames_;

TEST_F(AviH26xTest, TheEncoderMakesWhatTerminalsSend) {
    ASSERT_TRUE(frames_[0].keyframe);
    EXPECT_FALSE(frames_[1].keyframe);
    EXPECT_TRUE(frames_[kFps].keyframe);
    const AccessUnitInfo key = inspectAccessUnit(frames_[kFps].bytes, H26xCodec::H264);
    EXPECT_TRUE(key.randomAccess && key.sps && key.pps);
    const AccessUnitInfo p = inspectAccessUnit(frames_[1].bytes, H26xCodec::H264);
    EXPECT_FALSE(p.randomAccess || p.sps || p.pps);
    const auto size = pictureSize(frames_[0].bytes, H26xCodec::H264);
    ASSERT_TRUE(size);
    EXPECT_EQ(size->first, 352);
    EXPECT_EQ(size->second, 288);
}

// A recording that begins mid-stream: the frames before the next key frame
// could not be decoded, so the file starts at it, sized from its SPS, at the
// frame rate the device's clock shows.
TEST_F(AviH26xTest, AFileStartsAtTheFirstKeyFrameAndPlaysFromIt) {
    auto file = create("a.avi");
    const StreamSetup setup = h264();
    for (int k = 5; k < 3 * kFps; ++k) {
        ASSERT_TRUE(file->writeVideo(frames_[k].bytes, frameTime(k), setup));
    }
    EXPECT_EQ(file->counters().beforeKeyframe, static_cast<std::uint64_t>(kFps - 5));
    ASSERT_TRUE(file->finish(setup));

    const auto info = probeAvi(dir_ + "/a.avi");
    ASSERT_TRUE(info.opened) << info.error;
    const auto* v = info.videoStream();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->codec, "h264");
    EXPECT_EQ(v->width, 352);
    EXPECT_EQ(v->height, 288);
    EXPECT_EQ(v->packets, 2 * kFps);
    EXPECT_TRUE(v->firstDecoded);
    EXPECT_EQ(v->decoded, 2 * kFps);
    EXPECT_NEAR(v->seconds, 2.0, 0.05);
    Bytes stored;
    for (int k = kFps; k < 3 * kFps; ++k) {
        stored.insert(stored.end(), frames_[k].bytes.begin(), frames_[k].bytes.end());
    }
    EXPECT_EQ(v->bytes, static_cast<long long>(stored.size()));  // as received
    std::vector<std::uint64_t> hashes;
    for (int k = kFps; k < 3 * kFps; ++k) {
        hashes.push_back(testavi::hashBytes(frames_[k].bytes));
    }
    EXPECT_EQ(v->packetHashes, hashes) << "every frame stored byte for byte";
}

// Cameras film at rates that are no whole number of frames a second, on
// clocks that count milliseconds or stamp frames when a busy device gets to
// send them: the file's rate is the camera's, and a camera stamped evenly
// has every frame in its own slot with none left empty between them, so the
// file plays at the pace it was filmed.
TEST_F(AviH26xTest, TheFileHasTheCamerasFrameRate) {
    const struct {
        const char* name;
        std::vector<int> steps;  // ms between frames, repeated
        int frames;
        bool jittered;  // stamped unevenly: frames may share or skip a slot
        double fps;
    } cases[] = {
        {"12.5 fps: 80 ms a frame", {80}, 50, false, 12.5},
        {"25 fps", {40}, 75, false, 25},
        {"30 fps on a millisecond clock", {33, 33, 34}, 75, false, 30},
        {"7.5 fps", {133, 133, 134}, 30, false, 7.5},
        {"6.25 fps: 160 ms a frame", {160}, 25, false, 6.25},
        // Stamped when sent by a busy device: late, then catching up.
        {"25 fps on a busy sender's clock", {40, 40, 55, 25, 40, 40, 100, 5, 15, 40}, 75, true, 25},
        {"12.5 fps on a busy sender's clock", {80, 90, 70, 80, 100, 60}, 50, true, 12.5},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "rate" + std::to_string(++n) + ".avi";
        auto file = create(name);
        const StreamSetup setup = h264();
        std::uint64_t t = kStart;
        std::vector<std::uint64_t> hashes;
        for (int k = 0; k < c.frames; ++k) {
            const Bytes& bytes = frames_[static_cast<std::size_t>(k)].bytes;
            ASSERT_TRUE(file->writeVideo(bytes, t, setup)) << c.name;
            hashes.push_back(testavi::hashBytes(bytes));
            t += static_cast<std::uint64_t>(c.steps[static_cast<std::size_t>(k) % c.steps.size()]);
        }
        ASSERT_TRUE(file->finish(setup)) << c.name;
        if (!c.jittered) {
            EXPECT_EQ(file->counters().gapFrames, 0u) << c.name;
        }
        const auto info = probeAvi(dir_ + "/" + name);
        ASSERT_TRUE(info.opened) << c.name << ": " << info.error;
        const auto* v = info.videoStream();
        ASSERT_NE(v, nullptr) << c.name;
        EXPECT_NEAR(v->frameRate, c.fps, 1e-6) << c.name;
        EXPECT_EQ(v->packetHashes, hashes) << c.name;
        EXPECT_NEAR(v->seconds, c.frames / c.fps, c.jittered ? 0.1 : 1e-6) << c.name;
    }
}

// Some terminals send SPS and PPS on their own ahead of the key frame.
TEST_F(AviH26xTest, ParameterSetsSentApartAreWrittenBeforeTheKeyFrame) {
    std::vector<Bytes> sets;
    std::vector<Bytes> picture;
    for (Bytes& nal : nalUnits(frames_[0].bytes)) {
        const int type = nal[0] & 0x1F;
        (type == 7 || type == 8 ? sets : picture).push_back(std::move(nal));
    }
    ASSERT_EQ(sets.size(), 2u);
    auto file = create("b.avi");
    const StreamSetup setup = h264(kFps);
    ASSERT_TRUE(file->writeVideo(join(sets), frameTime(0), setup));
    ASSERT_TRUE(file->writeVideo(join(picture), frameTime(0), setup));
    for (int k = 1; k < kFps; ++k) {
        ASSERT_TRUE(file->writeVideo(frames_[k].bytes, frameTime(k), setup));
    }
    ASSERT_TRUE(file->finish(setup));
    const auto info = probeAvi(dir_ + "/b.avi");
    const auto* v = info.videoStream();
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(v->firstDecoded);
    EXPECT_EQ(v->decoded, kFps);
    EXPECT_EQ(v->width, 352);
}

TEST_F(AviH26xTest, AStreamWithoutAKeyFrameGivesAnEmptyButWholeFile) {
    auto file = create("c.avi");
    const StreamSetup setup = h264();
    for (int k = 1; k < kFps; ++k) {
        ASSERT_TRUE(file->writeVideo(frames_[k].bytes, frameTime(k), setup));
    }
    ASSERT_TRUE(file->finish(setup));
    const auto info = probeAvi(dir_ + "/c.avi");
    ASSERT_TRUE(info.opened) << info.error;
    EXPECT_EQ(info.videoStream()->packets, 0);
}

// Lost frames leave their time empty; what is in the file still decodes
// from its first frame, and the file lasts as long as the recording.
TEST_F(AviH26xTest, LostFramesKeepTheFilePlayableAndItsLength) {
    auto file = create("d.avi");
    const StreamSetup setup = h264();
    int written = 0;
    for (int k = 0; k < 3 * kFps; ++k) {
        if (k % 20 == 7) {
            continue;
        }
        ASSERT_TRUE(file->writeVideo(frames_[k].bytes, frameTime(k), setup));
        ++written;
    }
    ASSERT_TRUE(file->finish(setup));
    const auto info = probeAvi(dir_ + "/d.avi");
    const auto* v = info.videoStream();
    ASSERT_NE(v, nullptr);
    EXPECT_TRUE(v->firstDecoded);
    EXPECT_EQ(v->packets, written);
    EXPECT_NEAR(v->seconds, 3.0, 0.05);
}

// The server answers the media_open of the video and of the audio apart: the
// second answer may come after the first pictures, while the frame rate is
// still being measured, and must still name the file's audio.
TEST_F(AviH26xTest, AnAudioCodecNamedWhileTheRateIsMeasuredIsTheFilesAudio) {
    auto file = create("late.avi");
    StreamSetup early = h264();
    early.audioRate = 8000;  // mu-law, until the answer about the audio says otherwise
    StreamSetup late = early;
    late.audioCodec = AudioCodec::Alaw;
    for (int k = 0; k < 2 * kFps; ++k) {
        ASSERT_TRUE(file->writeVideo(frames_[k].bytes, frameTime(k), k < 2 ? early : late));
        ASSERT_TRUE(file->writeAudio(Bytes(320, 0xD5), frameTime(k)));
    }
    ASSERT_TRUE(file->finish(late));
    const auto info = probeAvi(dir_ + "/late.avi");
    ASSERT_NE(info.audioStream(), nullptr);
    EXPECT_EQ(info.audioStream()->codec, "pcm_alaw");
}

// The streams of an AVI are fixed by its header: a channel whose sound was
// asked for gets an audio stream only when sound comes, within the first
// second the pictures are held back for it; the pictures are whole either way.
TEST_F(AviH26xTest, AnAudioStreamIsDeclaredOnlyWhenAudioComes) {
    const struct {
        const char* name;
        int fps;           // the server's; 0: measured
        int audioFrom;     // the frame from which a block comes with each; -1: never
        bool audioStream;  // declared in the file
    } cases[] = {
        {"no audio comes, rate measured", 0, -1, false},
        {"no audio comes, rate named", kFps, -1, false},
        {"audio with the first picture", kFps, 0, true},
        {"audio half a second late", kFps, kFps / 2, true},
        {"audio half a second late, rate measured", 0, kFps / 2, true},
        {"audio two seconds late has no place", kFps, 2 * kFps, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "audio" + std::to_string(++n) + ".avi";
        auto file = create(name);
        StreamSetup setup = h264(c.fps);
        setup.audioRate = 8000;
        setup.audioCodec = AudioCodec::Alaw;
        long long audioBytes = 0;
        for (int k = 0; k < 3 * kFps; ++k) {
            ASSERT_TRUE(file->writeVideo(frames_[k].bytes, frameTime(k), setup)) << c.name;
            if (c.audioFrom >= 0 && k >= c.audioFrom) {
                ASSERT_TRUE(file->writeAudio(Bytes(320, 0xD5), frameTime(k))) << c.name;
                audioBytes += 320;
            }
        }
        ASSERT_TRUE(file->finish(setup)) << c.name;
        const auto info = probeAvi(dir_ + "/" + name);
        ASSERT_TRUE(info.opened) << c.name << ": " << info.error;
        const auto* v = info.videoStream();
        ASSERT_NE(v, nullptr) << c.name;
        EXPECT_EQ(v->packets, 3 * kFps) << c.name;
        EXPECT_EQ(v->decoded, 3 * kFps) << c.name;
        EXPECT_NEAR(v->seconds, 3.0, 1e-6) << c.name;
        if (c.audioStream) {
            ASSERT_NE(info.audioStream(), nullptr) << c.name;
            // Silence fills the time before the sound came.
            EXPECT_EQ(info.audioStream()->bytes, 3 * 8000) << c.name;
            EXPECT_EQ(file->counters().audioBytes - file->counters().silenceBytes,
                      static_cast<std::uint64_t>(audioBytes))
                << c.name;
        } else {
            EXPECT_EQ(info.audioStream(), nullptr) << c.name;
            EXPECT_EQ(file->counters().audioBytes, 0u) << c.name;
        }
    }
}

struct AudioCase {
    const char* name;
    AudioCodec codec;
    int rate;
    int bitRate;
    const char* libavName;
};

// Each codec's blocks go in as they came, beside the picture.
TEST_F(AviH26xTest, EveryAudioCodecIsStoredBesideThePicture) {
    const AudioCase cases[] = {
        {"alaw", AudioCodec::Alaw, 8000, 0, "pcm_alaw"},
        {"g726", AudioCodec::G726, 8000, 40000, "adpcm_g726"},
        {"aac", AudioCodec::Aac, 16000, 32000, "aac"},
    };
    const Bytes tone = sim::alawTone(440, 8000);
    for (const AudioCase& c : cases) {
        StreamSetup setup = h264(kFps);
        setup.audioCodec = c.codec;
        setup.audioRate = c.rate;
        setup.audioBitRate = c.bitRate;
        auto file = create(std::string(c.name) + ".avi");
        long long audioBytes = 0;
        for (int k = 0; k < 2 * kFps; ++k) {
            ASSERT_TRUE(file->writeVideo(frames_[k].bytes, frameTime(k), setup));
            Bytes block;
            if (c.codec == AudioCodec::Aac) {
                // One AAC frame with an ADTS header (LC, 16 kHz, mono).
                const std::size_t raw = 40;
                const std::size_t length = 7 + raw;
                block = {0xFF,
                         0xF1,
                         static_cast<std::uint8_t>((1 << 6) | (8 << 2)),
                         static_cast<std::uint8_t>((1 << 6) | (length >> 11)),
                         static_cast<std::uint8_t>(length >> 3),
                         static_cast<std::uint8_t>(((length & 7) << 5) | 0x1F),
                         0xFC};
                block.resize(length, 0x21);
            } else {
                // 40 ms of sound.
                const std::size_t n = static_cast<std::size_t>(c.rate / kFps) *
                                      (c.codec == AudioCodec::G726 ? 5 : 8) / 8;
                block.assign(tone.begin(), tone.begin() + static_cast<std::ptrdiff_t>(n));
            }
            // 1024 AAC samples at 16 kHz last 64 ms: one block every other frame.
            if (c.codec != AudioCodec::Aac || k % 2 == 0) {
                ASSERT_TRUE(file->writeAudio(block, frameTime(k)));
                audioBytes +=
                    static_cast<long long>(block.size()) - (c.codec == AudioCodec::Aac ? 7 : 0);
            }
        }
        ASSERT_TRUE(file->finish(setup));
        const auto info = probeAvi(dir_ + "/" + c.name + ".avi");
        ASSERT_TRUE(info.opened) << c.name << ": " << info.error;
        const auto* a = info.audioStream();
        ASSERT_NE(a, nullptr) << c.name;
        EXPECT_EQ(a->codec, c.libavName);
        EXPECT_EQ(a->sampleRate, c.rate) << c.name;
        EXPECT_EQ(a->bytes, audioBytes) << c.name << ": stored as received, ADTS headers aside";
        EXPECT_TRUE(info.videoStream()->firstDecoded) << c.name;
        if (c.codec == AudioCodec::Aac) {
            EXPECT_NEAR(a->seconds, 25 * 1024 / 16000.0, 0.01);  // frames of 1024 samples
        }
    }
}

}  // namespace
}  // namespace vardo
