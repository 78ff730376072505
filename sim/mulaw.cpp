#include "sim/mulaw.h"

#include <cmath>
#include <numbers>

namespace sim {
namespace {

constexpr int kBias = 0x84;
constexpr int kClip = 32635;

}  // namespace

std::uint8_t linearToMulaw(std::int16_t sample) {
    int s = sample;
    const int sign = s < 0 ? 0x80 : 0;
    if (s < 0) {
        s = -s;
    }
    if (s > kClip) {
        s = kClip;
    }
    s += kBias;
    int exponent = 7;
    for (int mask = 0x4000; (s & mask) == 0 && exponent > 0; mask >>= 1) {
        --exponent;
    }
    const int mantissa = (s >> (exponent + 3)) & 0x0F;
    return static_cast<std::uint8_t>(~(sign | (exponent << 4) | mantissa));
}

std::int16_t mulawToLinear(std::uint8_t code) {
    const int u = ~code & 0xFF;
    const int exponent = (u >> 4) & 0x07;
    const int mantissa = u & 0x0F;
    const int magnitude = ((mantissa << 3) + kBias) << exponent;
    return static_cast<std::int16_t>((u & 0x80) != 0 ? kBias - magnitude : magnitude - kBias);
}

std::vector<std::int16_t> sineTone(int hz, int rate) {
    std::vector<std::int16_t> tone(static_cast<std::size_t>(rate));
    for (int i = 0; i < rate; ++i) {
        const double phase = 2.0 * std::numbers::pi * hz * i / rate;
        tone[static_cast<std::size_t>(i)] =
            static_cast<std::int16_t>(std::lround(8192.0 * std::sin(phase)));
    }
    return tone;
}

std::vector<std::uint8_t> mulawTone(int hz, int rate) {
    const std::vector<std::int16_t> linear = sineTone(hz, rate);
    std::vector<std::uint8_t> tone(linear.size());
    for (std::size_t i = 0; i < linear.size(); ++i) {
        tone[i] = linearToMulaw(linear[i]);
    }
    return tone;
}

}  // namespace sim
