#include "center/alarm_table.h"

#include <algorithm>
#include <array>

namespace center {
namespace {

// The early warnings (bits 13 and 14) announce the alarms of bits 1 and 2
// and raise nothing of their own; bits that describe a state rather than an
// event (such as a storage threshold) are left out as well.
constexpr std::array<AlarmRule, 33> kRules{{
    {"emergency", false, 0, 0},
    {"overspeed", false, 1, 1},
    {"fatigue driving", false, 2, 2},
    {"driving time of the day exceeded", false, 18, 2},
    {"danger warning", false, 3, 3},
    {"collision", false, 29, 3},
    {"rollover", false, 30, 3},
    {"vehicle stolen", false, 26, 4},
    {"illegal ignition", false, 27, 4},
    {"illegal displacement", false, 28, 4},
    {"illegal door opening", false, 31, 4},
    {"video signal lost", true, 0, 5},
    {"video signal blocked", true, 1, 5},
    {"abnormal driving behaviour", true, 5, 5},
    {"passengers over the limit", true, 4, 5},
    {"GNSS module fault", false, 4, 6},
    {"GNSS antenna missing", false, 5, 6},
    {"GNSS antenna short circuit", false, 6, 6},
    {"main power low", false, 7, 6},
    {"main power off", false, 8, 6},
    {"display fault", false, 9, 6},
    {"TTS fault", false, 10, 6},
    {"camera fault", false, 11, 6},
    {"IC card module fault", false, 12, 6},
    {"vehicle speed sensor fault", false, 24, 6},
    {"video storage fault", true, 2, 6},
    {"other video equipment fault", true, 3, 6},
    {"parked too long", false, 19, 7},
    {"area entered or left", false, 20, 7},
    {"route entered or left", false, 21, 7},
    {"route section time wrong", false, 22, 7},
    {"off route", false, 23, 7},
    {"abnormal fuel level", false, 25, 7},
}};

}  // namespace

std::span<const AlarmRule> alarmRules() {
    return kRules;
}

std::vector<int> risingAlarmKinds(AlarmState& state, std::uint32_t alarms,
                                  const std::uint32_t* videoAlarms) {
    const std::uint32_t risen = alarms & ~state.alarms;
    const std::uint32_t videoNow = videoAlarms != nullptr ? *videoAlarms : state.videoAlarms;
    const std::uint32_t videoRisen = videoNow & ~state.videoAlarms;
    state.alarms = alarms;
    state.videoAlarms = videoNow;

    std::vector<int> kinds;
    for (const AlarmRule& rule : alarmRules()) {
        const std::uint32_t word = rule.video ? videoRisen : risen;
        if ((word >> rule.bit & 1u) != 0 &&
            std::find(kinds.begin(), kinds.end(), rule.kind) == kinds.end()) {
            kinds.push_back(rule.kind);
        }
    }
    std::sort(kinds.begin(), kinds.end());
    return kinds;
}

}  // namespace center
