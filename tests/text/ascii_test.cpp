// Case folding and trimming of keys and switches: only ASCII letters fold, so
// a UTF-8 name never compares equal to another by accident.

#include "text/ascii.h"

#include <gtest/gtest.h>

namespace {

TEST(Ascii, TrimTakesBlanksOffBothEndsOnly) {
    EXPECT_EQ(text::TrimAscii(" \t on\r\n"), "on");
    EXPECT_EQ(text::TrimAscii("a b"), "a b");
    EXPECT_EQ(text::TrimAscii(" \v\f "), "");
    EXPECT_EQ(text::TrimAscii("\xC2\xA0x"), "\xC2\xA0x");  // no-break space is text
}

TEST(Ascii, OnlyAsciiLettersFold) {
    EXPECT_TRUE(text::EqualsIgnoringCase("Driver", "dRIVER"));
    EXPECT_FALSE(text::EqualsIgnoringCase("driver", "drive"));
    EXPECT_FALSE(text::EqualsIgnoringCase("\xC3\x89", "\xC3\xA9"));  // É and é stay apart
    EXPECT_FALSE(text::EqualsIgnoringCase("@", "`"));
    EXPECT_EQ(text::AsciiLower("SQL Server \xC3\x89"), "sql server \xC3\x89");
    EXPECT_TRUE(text::StartsWithIgnoringCase("TCP:host", "tcp:"));
    EXPECT_FALSE(text::StartsWithIgnoringCase("tc", "tcp:"));
}

}  // namespace
