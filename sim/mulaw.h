#pragma once
// G.711 mu-law, and the tone the simulated microphones pick up.

#include <cstdint>
#include <vector>

namespace sim {

// One 16-bit linear sample as G.711 mu-law.
std::uint8_t linearToMulaw(std::int16_t sample);
// And back (for tests and checks).
std::int16_t mulawToLinear(std::uint8_t code);

// One second of a sine tone at `hz` (a whole number, so the second loops
// without a click), at a quarter of full scale, as linear samples.
std::vector<std::int16_t> sineTone(int hz, int rate);
// The same tone as mu-law.
std::vector<std::uint8_t> mulawTone(int hz, int rate);

}  // namespace sim
