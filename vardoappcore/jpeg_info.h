#pragma once
// The little the recorder needs to know of a JPEG frame: that it is one, and
// its size in pixels (from the first start-of-frame segment).

#include <cstdint>
#include <optional>
#include <span>

namespace vardo {

struct JpegSize {
    int width = 0;
    int height = 0;
    bool operator==(const JpegSize&) const = default;
};

// True when the bytes start with the JPEG start-of-image marker.
bool looksLikeJpeg(std::span<const std::uint8_t> bytes);

// The size of the picture; nothing when the bytes are not a JPEG, end before
// a start-of-frame segment, or name a size of 0.
std::optional<JpegSize> jpegSize(std::span<const std::uint8_t> bytes);

}  // namespace vardo
