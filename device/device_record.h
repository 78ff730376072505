#pragma once
// What the event server keeps per device that came online: one record per
// row of the device list, at the same index, and that index is the value
// stored on the device as its user data.

#include <array>
#include <cstdint>

#include "vardoappcore/api/vardo_app_core.h"

namespace device {

constexpr int kMaxChannels = 4;

struct DeviceRecord {
    HVARDODEV device = 0;
    // Index 0 to 3 holds channel number 1 to 4; 0 = not created.
    std::array<HVARDOCHN, kMaxChannels> channels{};
    // When the recording of each channel started, in seconds since
    // 1970-01-01 UTC; 0 = not recording.
    std::array<std::int64_t, kMaxChannels> recordStart{};
};

}  // namespace device
