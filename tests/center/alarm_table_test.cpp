#include "center/alarm_table.h"

#include <gtest/gtest.h>

#include <set>

#include "jt808/location.h"

namespace center {
namespace {

using Kinds = std::vector<int>;

TEST(AlarmTable, OnlyRisingBitsRaiseEachKindOnce) {
    namespace a = jt808::alarm;
    AlarmState s;
    EXPECT_EQ(risingAlarmKinds(s, 0, nullptr), Kinds{});
    EXPECT_EQ(risingAlarmKinds(s, a::kEmergency, nullptr), Kinds{0});
    // Still set: nothing new; a second bit rises beside it.
    EXPECT_EQ(risingAlarmKinds(s, a::kEmergency, nullptr), Kinds{});
    EXPECT_EQ(risingAlarmKinds(s, a::kEmergency | a::kOverspeed, nullptr), Kinds{1});
    // Cleared and set again: raised again.
    EXPECT_EQ(risingAlarmKinds(s, a::kOverspeed, nullptr), Kinds{});
    EXPECT_EQ(risingAlarmKinds(s, a::kOverspeed | a::kEmergency, nullptr), Kinds{0});
    // Two bits of one kind rising together raise it once; kinds ascend.
    s = {};
    EXPECT_EQ(risingAlarmKinds(s, a::kCollision | a::kRollover | a::kFatigue, nullptr),
              (Kinds{2, 3}));
    // Early warnings announce, they do not raise.
    s = {};
    EXPECT_EQ(risingAlarmKinds(s, a::kOverspeedWarning | a::kFatigueWarning, nullptr), Kinds{});
}

TEST(AlarmTable, VideoAlarmsRiseOnTheirOwnItem) {
    namespace v = jt808::video_alarm;
    AlarmState s;
    std::uint32_t video = v::kSignalLoss;
    EXPECT_EQ(risingAlarmKinds(s, 0, &video), Kinds{5});
    // A report without the item keeps what the last one said.
    EXPECT_EQ(risingAlarmKinds(s, 0, nullptr), Kinds{});
    EXPECT_EQ(risingAlarmKinds(s, 0, &video), Kinds{});
    video = v::kSignalLoss | v::kStorageFault;
    EXPECT_EQ(risingAlarmKinds(s, 0, &video), Kinds{6});
}

TEST(AlarmTable, EveryRuleHasAnAlarmKindAndABitOfItsOwn) {
    std::set<std::pair<bool, int>> bits;
    for (const AlarmRule& rule : alarmRules()) {
        EXPECT_GE(rule.kind, 0) << rule.name;
        EXPECT_LE(rule.kind, 7) << rule.name;
        EXPECT_LT(rule.bit, 32) << rule.name;
        EXPECT_TRUE(bits.insert({rule.video, rule.bit}).second) << rule.name;
    }
    EXPECT_EQ(alarmRules().front().kind, 0);  // emergency is the first kind
}

}  // namespace
}  // namespace center
