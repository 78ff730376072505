#include "device/device_text.h"

#include <cstdint>
#include <cstring>

namespace vardo {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when it is
// invalid; `*subpart` gets the length of the maximal invalid subpart then.
std::size_t ValidSequence(std::string_view s, std::size_t* subpart) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    *subpart = 1;
    if (b0 < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) {
            low = 0xA0;  // no overlong forms
        } else if (b0 == 0xED) {
            high = 0x9F;  // no surrogates
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) {
            low = 0x90;
        } else if (b0 == 0xF4) {
            high = 0x8F;  // nothing past U+10FFFF
        }
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i >= s.size()) {
            *subpart = i;
            return 0;
        }
        const auto b = static_cast<unsigned char>(s[i]);
        const unsigned char lo = i == 1 ? low : 0x80;
        const unsigned char hi = i == 1 ? high : 0xBF;
        if (b < lo || b > hi) {
            *subpart = i;
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string MakeValidUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        std::size_t subpart = 1;
        const std::size_t valid = ValidSequence(bytes, &subpart);
        if (valid != 0) {
            out.append(bytes.substr(0, valid));
            bytes.remove_prefix(valid);
        } else {
            out.append(kReplacement);
            bytes.remove_prefix(subpart);
        }
    }
    return out;
}

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
    return MakeValidUtf8(ReadDevInfoBytes(dev, item, scratch));
}

std::int32_t ReadChannelCount(HVARDODEV dev) {
    std::int32_t channels = 0;
    MyVardoDev_GetDevInfo(dev, DEVINFO_CHANNEL, &channels, sizeof channels);
    return channels;
}

}  // namespace vardo
