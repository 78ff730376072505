#include "vardoappcore/jpeg_info.h"

namespace vardo {
namespace {

constexpr std::uint8_t kMarker = 0xFF;
constexpr std::uint8_t kSoi = 0xD8;
constexpr std::uint8_t kEoi = 0xD9;
constexpr std::uint8_t kSos = 0xDA;

// Start-of-frame markers: C0-CF but for DHT (C4), JPG (C8) and DAC (CC).
bool isStartOfFrame(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Markers that stand alone, without a length: TEM and RST0-RST7.
bool isStandalone(std::uint8_t marker) {
    return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7);
}

int big16(const std::uint8_t* p) {
    return (p[0] << 8) | p[1];
}

}  // namespace

bool looksLikeJpeg(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 4 && bytes[0] == kMarker && bytes[1] == kSoi;
}

std::optional<JpegSize> jpegSize(std::span<const std::uint8_t> bytes) {
    if (!looksLikeJpeg(bytes)) {
        return std::nullopt;
    }
    // Walk the segments: FF xx [length(2) payload]. A start-of-frame payload
    // is precision(1) height(2) width(2) ...
    std::size_t pos = 2;
    while (pos + 4 <= bytes.size()) {
        if (bytes[pos] != kMarker) {
            return std::nullopt;
        }
        const std::uint8_t marker = bytes[pos + 1];
        if (marker == kMarker) {
            ++pos;  // fill byte
            continue;
        }
        if (isStandalone(marker)) {
            pos += 2;
            continue;
        }
        if (marker == kEoi || marker == kSos) {
            return std::nullopt;  // the picture data starts before any size
        }
        const std::size_t length = static_cast<std::size_t>(big16(&bytes[pos + 2]));
        if (length < 2 || pos + 2 + length > bytes.size()) {
            return std::nullopt;
        }
        if (isStartOfFrame(marker)) {
            if (length < 7) {
                return std::nullopt;
            }
            const JpegSize size{big16(&bytes[pos + 7]), big16(&bytes[pos + 5])};
            if (size.width == 0 || size.height == 0) {
                return std::nullopt;
            }
            return size;
        }
        pos += 2 + length;
    }
    return std::nullopt;
}

}  // namespace vardo
