#pragma once
// G.711 A-law, as vehicle terminals send their microphones' sound.

#include <cstdint>
#include <vector>

namespace sim {

// One 16-bit linear sample as G.711 A-law.
std::uint8_t linearToAlaw(std::int16_t sample);
// And back (for tests and checks).
std::int16_t alawToLinear(std::uint8_t code);

// One second of a sine tone at `hz` (see sineTone) as A-law.
std::vector<std::uint8_t> alawTone(int hz, int rate);

}  // namespace sim
