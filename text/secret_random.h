#pragma once
// Bytes for secrets a stranger must not guess (terminals' authentication
// codes, event servers' media keys): from the kernel's entropy pool, never
// from a seeded generator whose state one secret could give away.

#include <cstdint>
#include <optional>
#include <span>

namespace text {

// Fills `bytes`; false when the kernel gave none (the caller refuses to hand
// out a secret rather than make a weak one).
bool FillSecretRandom(std::span<std::uint8_t> bytes);

// A random 64-bit value; nothing when the kernel gave no entropy.
std::optional<std::uint64_t> SecretRandom64();

}  // namespace text
