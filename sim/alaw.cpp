#include "sim/alaw.h"

#include "sim/mulaw.h"

namespace sim {

// A-law keeps 13 bits: a segment (the position of the highest bit) and four
// bits below it; every other bit is inverted on the line.
std::uint8_t linearToAlaw(std::int16_t sample) {
    int s = sample >> 3;  // 13 bits
    int sign = 0x80;
    if (s < 0) {
        sign = 0;
        s = -s - 1;
    }
    if (s > 0x0FFF) {
        s = 0x0FFF;
    }
    int segment = 0;
    for (int v = s >> 5; v != 0; v >>= 1) {
        ++segment;
    }
    const int mantissa = segment == 0 ? (s >> 1) & 0x0F : (s >> segment) & 0x0F;
    return static_cast<std::uint8_t>((sign | (segment << 4) | mantissa) ^ 0x55);
}

std::int16_t alawToLinear(std::uint8_t code) {
    const int a = code ^ 0x55;
    const int segment = (a >> 4) & 0x07;
    const int mantissa = a & 0x0F;
    int magnitude = segment == 0 ? (mantissa << 4) + 8 : ((mantissa << 4) + 0x108) << (segment - 1);
    return static_cast<std::int16_t>((a & 0x80) != 0 ? magnitude : -magnitude);
}

std::vector<std::uint8_t> alawTone(int hz, int rate) {
    const std::vector<std::int16_t> linear = sineTone(hz, rate);
    std::vector<std::uint8_t> tone(linear.size());
    for (std::size_t i = 0; i < linear.size(); ++i) {
        tone[i] = linearToAlaw(linear[i]);
    }
    return tone;
}

}  // namespace sim
