#pragma once
// Text that comes from a device: read through the library into a bounded
// buffer and made valid UTF-8 before anyone shows or stores it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vardoappcore/api/vardo_app_core.h"

namespace device {

// The size of every device-information read; a text item is cut to one byte
// less.
constexpr std::size_t kDevInfoSize = 512;

// Reads text item `item` of `dev` into `scratch` (kDevInfoSize bytes): always
// NUL-terminated on return, empty when the library does not know the device
// or the item. Gives the bytes read, up to the first NUL.
std::string_view ReadDevInfoBytes(HVARDODEV dev, int item, char (&scratch)[kDevInfoSize]);

// The same, made valid UTF-8.
std::string ReadDevInfoText(HVARDODEV dev, int item, char (&scratch)[kDevInfoSize]);

// The device's channel count (DEVINFO_CHANNEL); 0 when unknown.
std::int32_t ReadChannelCount(HVARDODEV dev);

// When the center received what the notification being handled reports
// (DEVINFO_RECEIVED_AT, or DEVINFO_OFFLINE_AT for an offline), or `fallback`
// when the center did not say.
std::chrono::system_clock::time_point ReadCenterTime(
    HVARDODEV dev, int item, std::chrono::system_clock::time_point fallback);

}  // namespace device
