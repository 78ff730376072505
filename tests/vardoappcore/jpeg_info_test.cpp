#include "vardoappcore/jpeg_info.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim/mjpeg_encoder.h"

namespace vardo {
namespace {

using Bytes = std::vector<std::uint8_t>;

// SOI, an APP0 segment of 4 bytes, then a start-of-frame segment with the
// given marker and size.
Bytes withFrame(std::uint8_t marker, int width, int height) {
    return {0xFF,
            0xD8,
            0xFF,
            0xE0,
            0x00,
            0x04,
            0x4A,
            0x46,
            0xFF,
            marker,
            0x00,
            0x0B,
            0x08,
            static_cast<std::uint8_t>(height >> 8),
            static_cast<std::uint8_t>(height),
            static_cast<std::uint8_t>(width >> 8),
            static_cast<std::uint8_t>(width),
            0x01,
            0x01,
            0x11,
            0x00};
}

TEST(JpegInfo, SizeComesFromTheStartOfFrameSegment) {
    const struct {
        const char* name;
        Bytes bytes;
        std::optional<JpegSize> size;
    } cases[] = {
        {"baseline", withFrame(0xC0, 352, 288), JpegSize{352, 288}},
        {"progressive", withFrame(0xC2, 704, 576), JpegSize{704, 576}},
        {"huffman table is no frame", withFrame(0xC4, 352, 288), std::nullopt},
        {"size 0", withFrame(0xC0, 0, 288), std::nullopt},
        {"no start of image", Bytes{0x00, 0xD8, 0xFF, 0xC0, 0, 0, 0, 0}, std::nullopt},
        {"scan before any frame", Bytes{0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x00}, std::nullopt},
        {"cut inside a segment", Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x40, 0x00, 0x01}, std::nullopt},
        {"segment length below 2", Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0xFF, 0xC0},
         std::nullopt},
        {"garbage between segments", Bytes{0xFF, 0xD8, 0x12, 0x34, 0x56, 0x78}, std::nullopt},
        {"fill bytes and a restart marker are stepped over",
         Bytes{0xFF, 0xD8, 0xFF, 0xFF, 0xD0, 0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x10, 0x00, 0x20,
               0x01, 0x01, 0x11, 0x00},
         JpegSize{32, 16}},
        {"empty", Bytes{}, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(jpegSize(c.bytes), c.size) << c.name;
    }
}

TEST(JpegInfo, ReadsWhatLibavcodecWrites) {
    sim::MjpegEncoder encoder(176, 144, 8);
    sim::YuvImage image(176, 144);
    const auto jpeg = encoder.encode(image);
    ASSERT_FALSE(jpeg.empty()) << encoder.error();
    EXPECT_TRUE(looksLikeJpeg(jpeg));
    EXPECT_EQ(jpegSize(jpeg), (JpegSize{176, 144}));
}

}  // namespace
}  // namespace vardo
