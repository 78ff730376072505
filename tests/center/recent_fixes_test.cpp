#include "center/recent_fixes.h"

#include <gtest/gtest.h>

#include <string>

#include "protocol/json_codec.h"

namespace center {
namespace {

std::string Sentence(int n) {
    return "$GPRMC,1200" + std::to_string(10 + n % 50) + ".000,A,2230.0000,N," +
           std::to_string(11400 + n) + ".0000,E,0.0,0.0,101226,,,A*00";
}

// A device's last fixes are known by their sentence, the newest pushing the
// oldest out; another device's sentence is another fix.
TEST(RecentFixes, ADevicesLastFixesAreKnownAndTheOldestGo) {
    RecentFixes recent;
    const auto key = [](int n) { return RecentFixes::keyOf("13912340001", Sentence(n)); };
    EXPECT_EQ(recent.find(key(0)), 0u);
    for (int n = 0; n < static_cast<int>(RecentFixes::kKept); ++n) {
        recent.remember(key(n), 100 + n);
    }
    for (int n = 0; n < static_cast<int>(RecentFixes::kKept); ++n) {
        EXPECT_EQ(recent.find(key(n)), static_cast<std::uint64_t>(100 + n)) << n;
    }
    recent.remember(key(99), 500);
    EXPECT_EQ(recent.find(key(0)), 0u);
    EXPECT_EQ(recent.find(key(1)), 101u);
    EXPECT_EQ(recent.find(key(99)), 500u);
    EXPECT_NE(RecentFixes::keyOf("13912340002", Sentence(1)), key(1));
    EXPECT_NE(RecentFixes::keyOf("1391234000", "2" + Sentence(1)), key(1));
}

TEST(RecentFixes, TheJournalsLinesGiveTheirFixAndNothingElse) {
    vardo::protocol::Gps gps{"13912340001", Sentence(3), std::nullopt, std::nullopt, 42, 1000};
    const auto fix = FixOfLine(vardo::protocol::encodeLine(gps));
    ASSERT_TRUE(fix);
    EXPECT_EQ(fix->first, "13912340001");
    EXPECT_EQ(fix->second, Sentence(3));
    EXPECT_FALSE(
        FixOfLine(vardo::protocol::encodeLine(vardo::protocol::Offline{"13912340001", 43})));
    EXPECT_FALSE(FixOfLine("{\"op\":\"gps\""));
    EXPECT_FALSE(FixOfLine(""));
}

}  // namespace
}  // namespace center
