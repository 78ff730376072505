#include "centerlink/log_text.h"

#include <gtest/gtest.h>

namespace centerlink {
namespace {

TEST(LogText, PeerTextCannotForgeLinesOrEscapes) {
    EXPECT_EQ(printable("root"), "root");
    EXPECT_EQ(printable("粤B12345"), "粤B12345");
    EXPECT_EQ(printable("a\nvardo-center: forged"), "a\\nvardo-center: forged");
    EXPECT_EQ(printable(std::string("\x1b[2J\r\0x", 7)), "\\x1b[2J\\x0d\\x00x");
    EXPECT_EQ(printable("back\\slash"), "back\\\\slash");
    EXPECT_EQ(printable(std::string(300, 'a'), 10), "aaaaaaaaaa...");
}

}  // namespace
}  // namespace centerlink
