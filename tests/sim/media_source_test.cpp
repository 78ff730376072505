// The pieces the simulated cameras and microphones are made of: the font,
// the picture, the JPEG encoder and G.711 mu-law.

#include <gtest/gtest.h>

#include <set>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "sim/mjpeg_encoder.h"
#include "sim/mulaw.h"
#include "sim/test_pattern.h"

namespace sim {
namespace {

TEST(Font, EveryLetterAndDigitLooksDifferent) {
    std::set<std::vector<std::uint8_t>> seen;
    const std::string chars = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-:._/#' ?";
    for (const char c : chars) {
        const std::uint8_t* g = glyphOf(c);
        EXPECT_TRUE(seen.insert(std::vector<std::uint8_t>(g, g + 7)).second) << c;
    }
    // Lower case is upper case; what the font lacks is '?'.
    EXPECT_EQ(std::vector(glyphOf('a'), glyphOf('a') + 7),
              std::vector(glyphOf('A'), glyphOf('A') + 7));
    for (const char c : {'%', '\x7F', '\xE8', '\0'}) {
        EXPECT_EQ(std::vector(glyphOf(c), glyphOf(c) + 7),
                  std::vector(glyphOf('?'), glyphOf('?') + 7))
            << static_cast<int>(c);
    }
}

// Decodes a JPEG to its luma plane.
std::vector<std::uint8_t> decodeLuma(const std::vector<std::uint8_t>& jpeg, int& width,
                                     int& height) {
    std::vector<std::uint8_t> luma;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (avcodec_open2(ctx, codec, nullptr) == 0 &&
        av_new_packet(packet, static_cast<int>(jpeg.size())) == 0) {
        std::copy(jpeg.begin(), jpeg.end(), packet->data);
        if (avcodec_send_packet(ctx, packet) == 0 && avcodec_receive_frame(ctx, frame) == 0) {
            width = frame->width;
            height = frame->height;
            for (int y = 0; y < height; ++y) {
                luma.insert(luma.end(), frame->data[0] + y * frame->linesize[0],
                            frame->data[0] + y * frame->linesize[0] + width);
            }
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    return luma;
}

TEST(TestPattern, TheTextIsReadableInTheEncodedPicture) {
    YuvImage image(352, 288);
    drawTestPattern(image, 5, {"H"});
    MjpegEncoder encoder(352, 288, 4);
    const auto jpeg = encoder.encode(image);
    ASSERT_FALSE(jpeg.empty()) << encoder.error();
    int width = 0;
    int height = 0;
    const auto luma = decodeLuma(jpeg, width, height);
    ASSERT_EQ(width, 352);
    ASSERT_EQ(height, 288);
    // 'H' drawn twice as large at (4, 4): ink in its left stem, none in the
    // middle of its top row, dark band around it.
    const auto at = [&](int x, int y) { return luma[static_cast<std::size_t>(y * width + x)]; };
    EXPECT_GT(at(4 + 0, 4 + 2), 180);  // left stem
    EXPECT_GT(at(4 + 8, 4 + 2), 180);  // right stem
    EXPECT_LT(at(4 + 4, 4 + 1), 80);   // between them
    EXPECT_GT(at(4 + 4, 4 + 6), 180);  // the bar
    EXPECT_LT(at(200, 8), 60);         // the band beyond the text
}

TEST(TestPattern, DetailMakesTheFramesCameraSized) {
    MjpegEncoder encoder(352, 288, 6);
    std::size_t previous = 0;
    for (const int detail : {0, 50, 100}) {
        YuvImage image(352, 288);
        drawTestPattern(image, 3, {"X7"}, detail);
        const auto size = encoder.encode(image).size();
        EXPECT_GT(size, previous + 2000) << detail;
        previous = size;
    }
}

TEST(Mulaw, KnownCodes) {
    const struct {
        std::int16_t linear;
        std::uint8_t code;
    } cases[] = {
        {0, 0xFF},   {-1, 0x7F},   {32767, 0x80}, {-32768, 0x00},
        {100, 0xF2}, {-100, 0x72}, {1000, 0xCE},  {8000, 0xA0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(linearToMulaw(c.linear), c.code) << c.linear;
    }
}

TEST(Mulaw, EveryCodeDecodesToAValueThatEncodesBack) {
    for (int code = 0; code < 256; ++code) {
        const auto u = static_cast<std::uint8_t>(code);
        const auto back = linearToMulaw(mulawToLinear(u));
        // 0x7F is "minus zero": it comes back as plain zero.
        EXPECT_EQ(back, code == 0x7F ? 0xFF : u) << code;
    }
}

TEST(Mulaw, AToneLoopsWithoutAClick) {
    const auto tone = mulawTone(400, 8000);
    ASSERT_EQ(tone.size(), 8000u);
    EXPECT_EQ(tone.front(), linearToMulaw(0));
    // One period is 20 samples: the same codes come back.
    for (std::size_t i = 0; i + 20 < tone.size(); i += 997) {
        EXPECT_EQ(tone[i], tone[i + 20]) << i;
    }
    int loudest = 0;
    for (const auto c : tone) {
        loudest = std::max(loudest, std::abs(static_cast<int>(mulawToLinear(c))));
    }
    EXPECT_NEAR(loudest, 8192, 300);
}

}  // namespace
}  // namespace sim
