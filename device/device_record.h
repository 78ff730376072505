#pragma once
// What the event server keeps per device that came online: one record per
// row of the device list, at the same index, and that index is the value
// stored on the device as its user data.

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

#include "vardoappcore/api/vardo_app_core.h"

namespace device {

constexpr int kMaxChannels = 4;

struct DeviceRecord {
    DeviceRecord() = default;
    DeviceRecord(HVARDODEV dev, const std::array<HVARDOCHN, kMaxChannels>& chns,
                 const std::array<std::int64_t, kMaxChannels>& starts = {})
        : device(dev), channels(chns), recordStart(starts) {}

    HVARDODEV device = 0;
    // Index 0 to 3 holds channel number 1 to 4; 0 = not created.
    std::array<HVARDOCHN, kMaxChannels> channels{};
    // When the recording of each channel started, in seconds since
    // 1970-01-01 UTC; 0 = not recording.
    std::array<std::int64_t, kMaxChannels> recordStart{};
    // The name the device gave when it came online: the row shows it and
    // every statement about the device carries it, even after the device
    // reports another.
    std::string name;
    // Whether its online event has been queued with no offline event since;
    // an idle row of its own that a returning device may take back is one
    // without it.
    bool onlineReported = false;
    // The center's time of its newest message, when the center dates them.
    // An offline the event server concludes itself (at a stop, or when the
    // center link stays lost) is dated just after it, on the center's clock,
    // so that neither that offline nor the device's next event is taken for
    // an older one because the two machines' clocks differ.
    std::chrono::system_clock::time_point lastCenterAt{};
};

}  // namespace device
