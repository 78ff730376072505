#include "vardoappcore/aac_adts.h"

namespace vardo {
namespace {

constexpr int kSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};

}  // namespace

// syncword 12 | id 1 | layer 2 | protection_absent 1 | profile 2 |
// sampling index 4 | private 1 | channel configuration 3 | ... |
// frame length 13 (header included) | fullness 11 | raw blocks 2
std::optional<AdtsFrame> readAdts(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 7 || bytes[0] != 0xFF || (bytes[1] & 0xF6) != 0xF0) {
        return std::nullopt;
    }
    const bool crc = (bytes[1] & 0x01) == 0;
    const std::size_t header = crc ? 9 : 7;
    const int profile = bytes[2] >> 6;  // object type - 1
    const int rateIndex = (bytes[2] >> 2) & 0x0F;
    const int channels = ((bytes[2] & 0x01) << 2) | (bytes[3] >> 6);
    const std::size_t length = (static_cast<std::size_t>(bytes[3] & 0x03) << 11) |
                               (static_cast<std::size_t>(bytes[4]) << 3) | (bytes[5] >> 5);
    if (rateIndex >= static_cast<int>(std::size(kSampleRates)) || channels == 0 ||
        length <= header || length > bytes.size()) {
        return std::nullopt;
    }
    AdtsFrame f;
    const int objectType = profile + 1;
    f.config = {static_cast<std::uint8_t>((objectType << 3) | (rateIndex >> 1)),
                static_cast<std::uint8_t>(((rateIndex & 1) << 7) | (channels << 3))};
    f.sampleRate = kSampleRates[rateIndex];
    f.channels = channels;
    f.raw = bytes.subspan(header, length - header);
    return f;
}

}  // namespace vardo
