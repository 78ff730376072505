#include "sim/script.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

TEST(SimScript, CommandsAreRead) {
    const struct {
        const char* line;
        Command expected;
    } cases[] = {
        {"online X7 X7 2", CmdOnline{"X7", "X7", 2, "", ""}},
        {"online d1 \"Bus 12\" 4 浙A·12345 \"O'Brien \\\"Ace\\\"\"",
         CmdOnline{"d1", "Bus 12", 4, "浙A·12345", "O'Brien \"Ace\""}},
        {"  online d1 N 1 V   # trailing comment", CmdOnline{"d1", "N", 1, "V", ""}},
        {"gps X7 $GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D",
         CmdGps{"X7", "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D"}},
        {"gps X7", CmdGps{"X7", ""}},
        {"gps X7    some text  with  blanks   ", CmdGps{"X7", "some text  with  blanks"}},
        {"gps X7 text # comment", CmdGps{"X7", "text"}},
        {"gps X7 a#b", CmdGps{"X7", "a#b"}},
        {"offline X7", CmdOffline{"X7"}},
        {"alarm X7 0", CmdAlarm{"X7", 0}},
        {"alarm X7 7", CmdAlarm{"X7", 7}},
        {"event X7 0xA3", CmdEvent{"X7", 0xA3}},
        {"event X7 255", CmdEvent{"X7", 255}},
        {"wait-login", CmdWaitLogin{}},
        {"sleep 250", CmdSleep{250}},
        {"drop", CmdDrop{}},
        {"exit\r", CmdExit{}},
    };
    for (const auto& c : cases) {
        const ParsedLine parsed = parseScriptLine(c.line);
        EXPECT_EQ(parsed.error, "") << c.line;
        ASSERT_TRUE(parsed.command.has_value()) << c.line;
        EXPECT_EQ(*parsed.command, c.expected) << c.line;
    }
}

TEST(SimScript, BlankAndCommentLinesAreNothing) {
    for (const char* line : {"", "   ", "# a comment", "   # indented comment", "\t"}) {
        const ParsedLine parsed = parseScriptLine(line);
        EXPECT_EQ(parsed.error, "") << line;
        EXPECT_FALSE(parsed.command.has_value()) << line;
    }
}

TEST(SimScript, WrongLinesSayWhatIsWrong) {
    const struct {
        const char* line;
        const char* error;
    } cases[] = {
        {"launch X7", "unknown command 'launch'"},
        {"online", "online: DEV is missing"},
        {"online X7", "online: NAME is missing"},
        {"online X7 X7", "online: CHANNELS is missing"},
        {"online X7 X7 5", "online: CHANNELS '5' is not a number from 1 to 4"},
        {"online X7 X7 0", "online: CHANNELS '0' is not a number from 1 to 4"},
        {"online X7 X7 2 V D extra", "online: too many words"},
        {"online X7 \"unclosed 2", "a quote is not closed"},
        {"online X7 \"a\"b 2", "a quoted word must be followed by a blank"},
        {"gps", "gps: DEV is missing"},
        {"offline", "offline: DEV is missing"},
        {"offline X7 now", "offline: too many words"},
        {"alarm X7 8", "alarm: N '8' is not a number from 0 to 7"},
        {"alarm X7 -1", "alarm: N '-1' is not a number from 0 to 7"},
        {"alarm X7", "alarm: N is missing"},
        {"event X7 256", "event: KIND '256' is not a number from 0 to 255"},
        {"event X7 0x", "event: KIND '0x' is not a number"},
        {"sleep soon", "sleep: MS 'soon' is not a number"},
        {"wait-login now", "wait-login: too many words"},
        {"drop all", "drop: too many words"},
    };
    for (const auto& c : cases) {
        const ParsedLine parsed = parseScriptLine(c.line);
        EXPECT_FALSE(parsed.command.has_value()) << c.line;
        EXPECT_NE(parsed.error.find(c.error), std::string::npos)
            << c.line << " gave '" << parsed.error << "'";
    }
}

}  // namespace
}  // namespace sim
