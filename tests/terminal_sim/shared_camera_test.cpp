#include "sim/terminal/shared_camera.h"

#include <gtest/gtest.h>

namespace sim::terminal {
namespace {

constexpr int kKeyInterval = 5;

TEST(SharedCamera, TerminalsReadTheSameFramesAndStartAtAKeyFrame) {
    SharedCamera camera(176, 144, 25, kKeyInterval, 200'000);
    ASSERT_TRUE(camera.ok()) << camera.error();

    std::optional<std::uint64_t> first;
    const EncodedFrame& opening = camera.next(first);
    ASSERT_FALSE(opening.bytes.empty());
    EXPECT_TRUE(opening.keyframe);  // a receiver can start with it
    const std::vector<std::uint8_t> openingBytes = opening.bytes;

    // Another terminal that starts now also gets the first key frame, byte
    // for byte, and then the same frames as the first one.
    std::optional<std::uint64_t> second;
    EXPECT_EQ(camera.next(second).bytes, openingBytes);
    std::vector<std::vector<std::uint8_t>> seen;
    for (int i = 0; i < 3 * kKeyInterval; ++i) {
        seen.push_back(camera.next(first).bytes);
    }
    for (int i = 0; i < 3 * kKeyInterval; ++i) {
        EXPECT_EQ(camera.next(second).bytes, seen[static_cast<std::size_t>(i)]) << i;
    }

    // A terminal that starts between key frames waits for none and skips
    // none: it starts with the newest key frame already made.
    for (int i = 0; i < 2; ++i) {
        camera.next(first);
    }
    std::optional<std::uint64_t> late;
    const EncodedFrame& start = camera.next(late);
    EXPECT_TRUE(start.keyframe);
    EXPECT_LT(*late, *first);
    EXPECT_GE(*late + kKeyInterval, *first);
}

TEST(SharedCamera, ATerminalLeftFarBehindJumpsToAKeyFrame) {
    SharedCamera camera(176, 144, 25, kKeyInterval, 200'000);
    ASSERT_TRUE(camera.ok()) << camera.error();
    std::optional<std::uint64_t> slow;
    camera.next(slow);
    camera.next(slow);
    std::optional<std::uint64_t> fast;
    for (int i = 0; i < 20 * kKeyInterval; ++i) {
        camera.next(fast);
    }
    // The frames after the slow one's are gone: it goes on from a key frame
    // rather than from a frame whose references it never had.
    const EncodedFrame& resumed = camera.next(slow);
    EXPECT_TRUE(resumed.keyframe);
    EXPECT_GT(*slow, 2u);
    EXPECT_LE(*slow, *fast);
}

TEST(SharedCamera, OneCameraPerPictureSizeAndRate) {
    SharedCameras cameras;
    const auto cif = cameras.get(352, 288, 25, 25, 400'000);
    EXPECT_EQ(cameras.get(352, 288, 25, 25, 400'000), cif);
    EXPECT_NE(cameras.get(704, 576, 25, 25, 400'000), cif);
    EXPECT_NE(cameras.get(352, 288, 10, 10, 400'000), cif);
}

}  // namespace
}  // namespace sim::terminal
