#pragma once
// AAC frames as terminals send them usually carry an ADTS header (7 bytes,
// 9 with a CRC). A file stores the raw frame and, once, the
// AudioSpecificConfig that the header implies.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vardo {

struct AdtsFrame {
    std::vector<std::uint8_t> config;  // AudioSpecificConfig, 2 bytes
    int sampleRate = 0;
    int channels = 0;
    std::span<const std::uint8_t> raw;  // the frame without its header
};

// Nothing when the bytes do not start with a whole ADTS header whose frame
// length fits them.
std::optional<AdtsFrame> readAdts(std::span<const std::uint8_t> bytes);

}  // namespace vardo
