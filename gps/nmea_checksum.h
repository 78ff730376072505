#pragma once
// The NMEA 0183 checksum: the XOR of every byte between the '$' and the '*',
// written as two upper-case hexadecimal digits. The one copy the parser, the
// writer and the tests use.

#include <string>
#include <string_view>

namespace gps {

// The XOR of every byte of `body` (the text between '$' and '*').
inline unsigned nmeaChecksumByte(std::string_view body) {
    unsigned sum = 0;
    for (const char c : body) {
        sum ^= static_cast<unsigned char>(c);
    }
    return sum;
}

// The digit a receiver writes for the low four bits of `value`.
inline char nmeaHexDigit(unsigned value) {
    return "0123456789ABCDEF"[value & 0xF];
}

// The two hex digits of the checksum of `body`, as they follow the '*'.
inline std::string nmeaChecksum(std::string_view body) {
    const unsigned sum = nmeaChecksumByte(body);
    return {nmeaHexDigit(sum >> 4), nmeaHexDigit(sum)};
}

}  // namespace gps
