#include "gps/fixed_decimal.h"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace gps {
namespace {

__extension__ typedef unsigned __int128 Wide;

constexpr std::uint32_t kPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000};

}  // namespace

char* appendDigits(char* out, std::uint64_t value, int minDigits) {
    char reversed[24];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count < minDigits) {
        reversed[count++] = '0';
    }
    while (count > 0) {
        *out++ = reversed[--count];
    }
    return out;
}

namespace {

// What to_chars writes, leading zeros before it; the rare values the integer
// path below does not cover (2^44 and above, infinities, NaN) come here.
char* appendGeneral(char* out, double value, int decimals, int minIntDigits) {
    char buffer[kFixedDecimalMax];
    const auto r =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    const auto length = static_cast<std::size_t>(r.ptr - buffer);
    const void* dot = std::memchr(buffer, '.', length);
    const std::size_t intDigits =
        dot == nullptr ? length : static_cast<std::size_t>(static_cast<const char*>(dot) - buffer);
    for (std::size_t i = intDigits; i < static_cast<std::size_t>(minIntDigits); ++i) {
        *out++ = '0';
    }
    std::memcpy(out, buffer, length);
    return out + length;
}

}  // namespace

char* appendFixedDecimal(char* out, double value, int decimals, int minIntDigits) {
    // value = mantissa * 2^exponent, exactly.
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
    int exponent = -1074;
    if (biased != 0) {
        mantissa |= std::uint64_t{1} << 52;
        exponent = biased - 1075;
    }
    // From 2^44 on (and for infinities and NaN) the scaled value may not fit
    // 64 bits; no sentence carries such numbers.
    if ((bits >> 63) != 0 || exponent > -9 || decimals < 0 || decimals > 6) {
        return appendGeneral(out, value, decimals, minIntDigits);
    }
    // The value times 10^decimals, rounded half to even: what to_chars prints.
    const std::uint32_t scale = kPowersOfTen[decimals];
    const Wide scaled = Wide{mantissa} * scale;  // below 2^73
    const int shift = -exponent;                 // 9 or more
    std::uint64_t rounded = 0;
    if (shift < 80) {
        rounded = static_cast<std::uint64_t>(scaled >> shift);
        const Wide rest = scaled - (Wide{rounded} << shift);
        const Wide half = Wide{1} << (shift - 1);
        if (rest > half || (rest == half && (rounded & 1) != 0)) {
            ++rounded;
        }
    }  // else below 2^-7 of the last decimal: zero
    out = appendDigits(out, rounded / scale, minIntDigits);
    if (decimals > 0) {
        *out++ = '.';
        out = appendDigits(out, rounded % scale, decimals);
    }
    return out;
}

}  // namespace gps
