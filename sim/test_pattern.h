#pragma once
// The simulated cameras' picture: colour bars that move sideways, a square
// that bounces, and a black band with lines of text (device, channel, time)
// in a small built-in font. Drawn straight into a YUV 4:2:0 image, cheaply
// enough to do for every frame.

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct YuvImage {
    YuvImage(int w, int h);
    int width;
    int height;
    std::vector<std::uint8_t> y;  // width x height
    std::vector<std::uint8_t> u;  // (width/2) x (height/2), rounded up
    std::vector<std::uint8_t> v;
    int chromaWidth() const { return (width + 1) / 2; }
    int chromaHeight() const { return (height + 1) / 2; }
};

// Frame `index` of the pattern with `lines` of text at the top. Characters
// the font lacks (anything beyond plain ASCII letters, digits and a few
// signs) are drawn as '?'; lower case as upper case; text wider than the
// picture is cut.
//
// `detail` (0-100) covers that share of the picture below the band with
// fine grain, as a busy street scene would have: the JPEG grows with it
// (for load tests that want camera-sized frames).
void drawTestPattern(YuvImage& image, std::uint64_t index, const std::vector<std::string>& lines,
                     int detail = 0);

// The glyph rows of one character of the font: 7 rows of 5 bits, the top
// row first, the leftmost pixel in bit 4. Unknown characters give '?'.
const std::uint8_t* glyphOf(char c);

}  // namespace sim
