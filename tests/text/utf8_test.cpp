// UTF-8 repair: what a device, a terminal or a peer sends is made well-formed
// without losing the valid text around a bad byte.

#include "text/utf8.h"

#include <gtest/gtest.h>

#include <iterator>

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8, IllFormedSequencesBecomeOneReplacementEach) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"\xE5\xBC\xA0\xE4\xBC\x9F", "\xE5\xBC\xA0\xE4\xBC\x9F"},  // 张伟
        {"车辆", "车辆"},
        {"\xF0\x9F\x9A\x8C", "\xF0\x9F\x9A\x8C"},  // a bus, 4 bytes
        {"a\xFF"
         "b",
         "a" + kFffd + "b"},
        {"a\x80z", "a" + kFffd + "z"},  // stray continuation
        {"a\xC3", "a" + kFffd},         // cut at the end
        {"\xE5\xBC", kFffd},            // cut 3-byte sequence
        {"\xE5\xBC"
         "x",
         kFffd + "x"},                                        // cut, then ASCII
        {"\xC0\xAF", kFffd + kFffd},                          // overlong '/'
        {"\xE0\x80\xAF", kFffd + kFffd + kFffd},              // overlong 3-byte
        {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // a surrogate
        {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // past U+10FFFF
        {"\xFF\xFE", kFffd + kFffd},
        {std::string("nul\0in", 6), std::string("nul\0in", 6)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::MakeValidUtf8(c.in), c.out) << testing::PrintToString(c.in);
        EXPECT_EQ(text::IsValidUtf8(c.in), c.in == c.out) << testing::PrintToString(c.in);
        EXPECT_TRUE(text::IsValidUtf8(text::MakeValidUtf8(c.in)));
    }
}

TEST(Utf8, PrefixesNeverSplitACharacter) {
    const std::string text =
        "a\xE5\xBC\xA0"
        "b\xF0\x9F\x9A\x8C";  // a 张 b 🚌
    const std::size_t expected[] = {0, 1, 1, 1, 4, 5, 5, 5, 5, 9, 9};
    for (std::size_t max = 0; max < std::size(expected); ++max) {
        EXPECT_EQ(text::Utf8PrefixLength(text, max), expected[max]) << "max " << max;
    }
}

}  // namespace
