#pragma once
// Which alarms of a location report raise an `alarm` towards the event
// servers, and with which kind (0-7). The table is in docs/jt808.md; keep
// both in step.

#include <cstdint>
#include <span>
#include <vector>

namespace center {

struct AlarmRule {
    const char* name;
    bool video;  // a bit of the video alarm item (0x14), else of the alarm word
    std::uint8_t bit;
    int kind;
};

std::span<const AlarmRule> alarmRules();

// The alarm bits a terminal reported last, to see which ones rise.
struct AlarmState {
    std::uint32_t alarms = 0;
    std::uint32_t videoAlarms = 0;
};

// The kinds raised by the bits that are set now and were clear in `state`
// (each kind once, ascending); `state` becomes the new bits. A report
// without the video item leaves the video bits as they were.
std::vector<int> risingAlarmKinds(AlarmState& state, std::uint32_t alarms,
                                  const std::uint32_t* videoAlarms);

}  // namespace center
