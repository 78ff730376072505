#pragma once
// Non-negative numbers written with a fixed count of decimals, as
// std::to_chars writes them (the double's exact value, rounded half to even),
// without the process locale. Every location report of every terminal puts
// four such numbers into its RMC sentence, and to_chars' general algorithm
// costs several times what the sentence's few digits need.

#include <cstddef>
#include <cstdint>

namespace gps {

// Longest text appendFixedDecimal writes: to_chars of the largest double with
// the most decimals it is asked for, and the zeros of `minIntDigits`.
inline constexpr std::size_t kFixedDecimalMax = 400;

// Writes `value` (>= 0) at `out` with `decimals` (0 to 6) decimals and at
// least `minIntDigits` (at most 20) digits before the point (leading zeros);
// returns the end. Bytes equal std::to_chars(..., chars_format::fixed,
// decimals) behind the zeros, for every value, infinities and NaN included.
char* appendFixedDecimal(char* out, double value, int decimals, int minIntDigits = 0);

// Writes `value`'s decimal digits, at least `minDigits` (at most 20) of them,
// leading zeros first; returns the end.
char* appendDigits(char* out, std::uint64_t value, int minDigits);

}  // namespace gps
