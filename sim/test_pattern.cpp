#include "sim/test_pattern.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace sim {
namespace {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kScale = 2;
constexpr int kAdvance = (kGlyphWidth + 1) * kScale;
constexpr int kLineHeight = (kGlyphHeight + 2) * kScale;
constexpr int kMargin = 4;

struct Glyph {
    char c;
    const char* rows[kGlyphHeight];
};

// A 5x7 font of our own: '#' is ink.
constexpr Glyph kGlyphs[] = {
    {' ', {".....", ".....", ".....", ".....", ".....", ".....", "....."}},
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'6', {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
    {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
    {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
    {'9', {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {'D', {"###..", "#..#.", "#...#", "#...#", "#...#", "#..#.", "###.."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
    {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"}},
    {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'J', {"..###", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."}},
    {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {'N', {"#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'Q', {".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'W', {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."}},
    {'X', {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"}},
    {'Y', {"#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."}},
    {'Z', {"#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"}},
    {'-', {".....", ".....", ".....", "#####", ".....", ".....", "....."}},
    {':', {".....", "..#..", "..#..", ".....", "..#..", "..#..", "....."}},
    {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
    {'_', {".....", ".....", ".....", ".....", ".....", ".....", "#####"}},
    {'/', {"....#", "...#.", "...#.", "..#..", ".#...", ".#...", "#...."}},
    {'#', {".#.#.", ".#.#.", "#####", ".#.#.", "#####", ".#.#.", ".#.#."}},
    {'\'', {"..#..", "..#..", ".#...", ".....", ".....", ".....", "....."}},
    {'?', {".###.", "#...#", "....#", "...#.", "..#..", ".....", "..#.."}},
};

using Bits = std::array<std::uint8_t, kGlyphHeight>;

// The font as bits, indexed by character code (0-127).
const std::array<Bits, 128>& font() {
    static const std::array<Bits, 128> table = [] {
        std::array<Bits, 128> t{};
        Bits unknown{};
        for (const Glyph& g : kGlyphs) {
            Bits bits{};
            for (int r = 0; r < kGlyphHeight; ++r) {
                for (int c = 0; c < kGlyphWidth; ++c) {
                    if (g.rows[r][c] == '#') {
                        bits[static_cast<std::size_t>(r)] |=
                            static_cast<std::uint8_t>(1 << (kGlyphWidth - 1 - c));
                    }
                }
            }
            t[static_cast<std::size_t>(g.c)] = bits;
            if (g.c == '?') {
                unknown = bits;
            }
        }
        for (std::size_t c = 0; c < t.size(); ++c) {
            const bool known =
                std::any_of(std::begin(kGlyphs), std::end(kGlyphs),
                            [c](const Glyph& g) { return static_cast<std::size_t>(g.c) == c; });
            if (!known) {
                t[c] = unknown;
            }
        }
        // Lower case is drawn as upper case.
        for (char c = 'a'; c <= 'z'; ++c) {
            t[static_cast<std::size_t>(c)] = t[static_cast<std::size_t>(c - 'a' + 'A')];
        }
        return t;
    }();
    return table;
}

// 75 % colour bars: white, yellow, cyan, green, magenta, red, blue, black.
constexpr std::uint8_t kBarY[] = {180, 162, 131, 112, 84, 65, 35, 16};
constexpr std::uint8_t kBarU[] = {128, 44, 156, 72, 184, 100, 212, 128};
constexpr std::uint8_t kBarV[] = {128, 142, 44, 58, 198, 212, 114, 128};

void fillBars(std::vector<std::uint8_t>& plane, int width, int height, int shift,
              const std::uint8_t* values) {
    // One row twice as wide as the picture, copied in at the shift.
    std::vector<std::uint8_t> row(static_cast<std::size_t>(width) * 2);
    for (int x = 0; x < width * 2; ++x) {
        row[static_cast<std::size_t>(x)] = values[(x % width) * 8 / width];
    }
    const int offset = shift % width;
    for (int y = 0; y < height; ++y) {
        std::memcpy(&plane[static_cast<std::size_t>(y) * width], &row[offset], width);
    }
}

void fillRect(YuvImage& img, int x0, int y0, int w, int h, std::uint8_t y, std::uint8_t u,
              std::uint8_t v) {
    const int x1 = std::min(img.width, x0 + w);
    const int y1 = std::min(img.height, y0 + h);
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    for (int row = y0; row < y1; ++row) {
        std::memset(&img.y[static_cast<std::size_t>(row) * img.width + x0], y,
                    static_cast<std::size_t>(std::max(0, x1 - x0)));
    }
    const int cw = img.chromaWidth();
    for (int row = y0 / 2; row < (y1 + 1) / 2 && row < img.chromaHeight(); ++row) {
        for (int col = x0 / 2; col < (x1 + 1) / 2 && col < cw; ++col) {
            img.u[static_cast<std::size_t>(row) * cw + col] = u;
            img.v[static_cast<std::size_t>(row) * cw + col] = v;
        }
    }
}

void drawText(YuvImage& img, int x, int y, const std::string& text) {
    const auto& table = font();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80) {
            continue;  // a continuation byte: one '?' per character
        }
        if (x + kAdvance > img.width) {
            return;
        }
        const Bits& bits = table[byte < 128 ? byte : '?'];
        for (int r = 0; r < kGlyphHeight; ++r) {
            for (int c = 0; c < kGlyphWidth; ++c) {
                if ((bits[static_cast<std::size_t>(r)] >> (kGlyphWidth - 1 - c) & 1) == 0) {
                    continue;
                }
                for (int dy = 0; dy < kScale; ++dy) {
                    const int py = y + r * kScale + dy;
                    if (py >= img.height) {
                        continue;
                    }
                    std::memset(&img.y[static_cast<std::size_t>(py) * img.width + x + c * kScale],
                                235, kScale);
                }
            }
        }
        x += kAdvance;
    }
}

}  // namespace

YuvImage::YuvImage(int w, int h)
    : width(w),
      height(h),
      y(static_cast<std::size_t>(w) * h),
      u(static_cast<std::size_t>((w + 1) / 2) * ((h + 1) / 2)),
      v(u.size()) {}

const std::uint8_t* glyphOf(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return font()[byte < 128 ? byte : '?'].data();
}

void drawTestPattern(YuvImage& img, std::uint64_t index, const std::vector<std::string>& lines,
                     int detail) {
    const int shift = static_cast<int>((index * 4) % static_cast<std::uint64_t>(img.width));
    fillBars(img.y, img.width, img.height, shift, kBarY);
    fillBars(img.u, img.chromaWidth(), img.chromaHeight(), shift / 2, kBarU);
    fillBars(img.v, img.chromaWidth(), img.chromaHeight(), shift / 2, kBarV);

    // A grey square bouncing between the band and the bottom edge.
    const int side = std::max(8, img.height / 6);
    const int band = kMargin * 2 + kLineHeight * static_cast<int>(lines.size());
    const int spanX = std::max(1, img.width - side);
    const int spanY = std::max(1, img.height - band - side);
    const auto bounce = [](std::uint64_t t, int span) {
        const auto p = static_cast<int>(t % static_cast<std::uint64_t>(2 * span));
        return p < span ? p : 2 * span - p;
    };
    fillRect(img, bounce(index * 5, spanX), band + bounce(index * 3, spanY), side, side, 128, 128,
             128);

    if (detail > 0) {
        // Grain over the bottom rows; a cheap generator, different each frame.
        std::uint32_t x = static_cast<std::uint32_t>(index) * 2654435761u + 1;
        const int rows = (img.height - band) * std::min(detail, 100) / 100;
        for (int row = img.height - rows; row < img.height; ++row) {
            std::uint8_t* p = &img.y[static_cast<std::size_t>(row) * img.width];
            for (int col = 0; col < img.width; ++col) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                p[col] = static_cast<std::uint8_t>(p[col] / 2 + (x & 0x7F));
            }
        }
    }

    fillRect(img, 0, 0, img.width, band, 16, 128, 128);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        drawText(img, kMargin, kMargin + static_cast<int>(i) * kLineHeight, lines[i]);
    }
}

}  // namespace sim
