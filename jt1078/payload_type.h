#pragma once
// The payload types a terminal names in its stream packets, and the codec
// names the center protocol uses for the ones an event server can record.

#include <cstdint>
#include <string_view>

namespace jt1078 {

enum class MediaClass { Unknown, Audio, Video, Transparent };

struct PayloadType {
    std::uint8_t code = 0;
    std::string_view name;  // as the terminal's documentation calls it
    MediaClass media = MediaClass::Unknown;
    // The center protocol's codec name; empty when it cannot be relayed for
    // recording.
    std::string_view codec;
};

// Known payload types: 1-28 audio, 91 transparent, 98-101 video. Anything
// else gives an entry with MediaClass::Unknown and the name "unknown".
PayloadType payloadType(std::uint8_t code);

// Codes of the common ones.
inline constexpr std::uint8_t kG711A = 6;
inline constexpr std::uint8_t kG711U = 7;
inline constexpr std::uint8_t kG726 = 8;
inline constexpr std::uint8_t kAac = 19;
inline constexpr std::uint8_t kTransparentPayload = 91;
inline constexpr std::uint8_t kH264 = 98;
inline constexpr std::uint8_t kH265 = 99;

}  // namespace jt1078
