// Text from a peer cannot forge, recolour or flood a log line.

#include "text/log_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PeerText, ControlBytesQuotesAndBrokenUtf8AreEscaped) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"X7", "'X7'"},
        {"", "''"},
        // A line break that would start a fake line of ours.
        {"X7\nvardo-event-server: service stopped", "'X7\\x0avardo-event-server: service stopped'"},
        {"a\r\tb", "'a\\x0d\\x09b'"},
        // Terminal escape sequences, 7-bit and as the C1 code point.
        {"\x1b[2J\x1b]0;title\x07", "'\\x1b[2J\\x1b]0;title\\x07'"},
        {"\xc2\x9b"
         "31m",
         "'\\xc2\\x9b31m'"},
        {std::string("a\0b", 3), "'a\\x00b'"},
        {"del\x7f", "'del\\x7f'"},
        // Quotes and backslashes cannot end the quoted text early or fake an escape.
        {"it's", "'it\\'s'"},
        {"C:\\x0a", "'C:\\\\x0a'"},
        // Readable names stay readable; only what is not UTF-8 becomes bytes.
        {"粤B·12345", "'粤B·12345'"},
        {"bad \xff\xfe end", "'bad \\xff\\xfe end'"},
        {"\xe2\x82", "'\\xe2\\x82'"},           // cut sequence
        {"\xc0\xaf", "'\\xc0\\xaf'"},           // overlong '/'
        {"\xed\xa0\x80", "'\\xed\\xa0\\x80'"},  // surrogate
        // A right-to-left override that would show the rest reversed.
        {"abc\xe2\x80\xae"
         "fdp.exe",
         "'abc\\xe2\\x80\\xaefdp.exe'"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text::PeerText(c.in), c.out) << c.in;
    }
}

TEST(PeerText, LongTextIsCutAtACharacterAndGivesItsLength) {
    const std::string flood(60000, 'A');
    const std::string logged = text::PeerText(flood);
    EXPECT_EQ(logged, "'" + std::string(200, 'A') + "'... (60000 bytes)");

    // The cut never splits a character or an escape.
    const std::string chinese = std::string(199, 'a') + "粤粤";
    EXPECT_EQ(text::PeerText(chinese), "'" + std::string(199, 'a') + "'... (205 bytes)");
    const std::string breaks = std::string(198, 'a') + "\n\n";
    EXPECT_EQ(text::PeerText(breaks), "'" + std::string(198, 'a') + "'... (200 bytes)");

    // Text that fits exactly is not cut.
    EXPECT_EQ(text::PeerText(std::string(200, 'b')), "'" + std::string(200, 'b') + "'");
    EXPECT_EQ(text::PeerText("abcdef", 3), "'abc'... (6 bytes)");
}

TEST(EscapeControlBytes, KeepsALineOneLineAndLeavesTheRestAlone) {
    EXPECT_EQ(text::EscapeControlBytes("lost: a\nb\r\x1b[0m"), "lost: a\\x0ab\\x0d\\x1b[0m");
    EXPECT_EQ(text::EscapeControlBytes("already 'a\\x0ab' and 粤"), "already 'a\\x0ab' and 粤");
}

}  // namespace
