#include "device/device_text.h"

#include <chrono>
#include <cstdint>
#include <cstring>

#include "text/utf8.h"

namespace device {

std::string_view ReadDevInfoBytes(HVARDODEV dev, int item, char (&scratch)[kDevInfoSize]) {
    // The library leaves the buffer alone for an unknown device or item, so
    // it starts empty; the last byte is forced to NUL in case a library
    // fills the buffer to the brim.
    scratch[0] = '\0';
    MyVardoDev_GetDevInfo(dev, item, scratch, static_cast<int>(kDevInfoSize));
    scratch[kDevInfoSize - 1] = '\0';
    return std::string_view(scratch, std::strlen(scratch));
}

std::string ReadDevInfoText(HVARDODEV dev, int item, char (&scratch)[kDevInfoSize]) {
    return text::MakeValidUtf8(ReadDevInfoBytes(dev, item, scratch));
}

std::int32_t ReadChannelCount(HVARDODEV dev) {
    std::int32_t channels = 0;
    MyVardoDev_GetDevInfo(dev, DEVINFO_CHANNEL, &channels, sizeof channels);
    return channels;
}

std::chrono::system_clock::time_point ReadCenterTime(
    HVARDODEV dev, int item, std::chrono::system_clock::time_point fallback) {
    std::int64_t ms = 0;
    if (MyVardoDev_GetDevInfo(dev, item, &ms, sizeof ms) == 0 || ms <= 0) {
        return fallback;
    }
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

}  // namespace device
