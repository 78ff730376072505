#include "jt808/gbk.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/jt808/hex.h"
#include "text/utf8.h"

namespace jt808 {
namespace {

using test::hex;

TEST(Jt808Gbk, PlatesAndNamesConvertBothWays) {
    struct Case {
        const char* gbk;
        const char* utf8;
    };
    const Case cases[] = {
        {"D4 C1 42 31 32 33 34 35", "粤B12345"},
        {"BE A9 41 30 30 30 30 31", "京A00001"},
        {"D5 C5 C8 FD", "张三"},
        {"", ""},
        {"41 42 43", "ABC"},
    };
    for (const auto& c : cases) {
        const auto bytes = hex(c.gbk);
        EXPECT_EQ(gbkToUtf8(bytes), c.utf8);
        EXPECT_EQ(utf8ToGbk(c.utf8), std::string(bytes.begin(), bytes.end()));
    }
}

TEST(Jt808Gbk, InvalidBytesBecomeReplacementCharacters) {
    // 0xFF starts no character; 0xD4 at the end lacks its second byte;
    // 0x80 alone is no character either. The rest survives.
    EXPECT_EQ(gbkToUtf8(hex("41 FF 42")),
              "A\xEF\xBF\xBD"
              "B");
    EXPECT_EQ(gbkToUtf8(hex("42 31 D4")), "B1\xEF\xBF\xBD");
    EXPECT_EQ(gbkToUtf8(hex("80 D4 C1")), "\xEF\xBF\xBD粤");
}

TEST(Jt808Gbk, WhatGbkLacksBecomesOneQuestionMark) {
    EXPECT_EQ(utf8ToGbk("A😀B"), "A?B");
    EXPECT_EQ(utf8ToGbk("A\xC3"
                        "B"),
              "A?B");  // cut two-byte sequence
    EXPECT_EQ(utf8ToGbk("\xFF"), "?");
}

TEST(Jt808Gbk, RandomBytesAlwaysGiveValidText) {
    std::mt19937 rng(808);
    for (int i = 0; i < 2000; ++i) {
        std::string bytes(rng() % 40, '\0');
        for (auto& b : bytes) {
            b = static_cast<char>(rng());
        }
        const std::string text = gbkToUtf8(bytes);
        ASSERT_TRUE(text::IsValidUtf8(text)) << i;
        EXPECT_EQ(text.empty(), bytes.empty());
    }
}

}  // namespace
}  // namespace jt808
