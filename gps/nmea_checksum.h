#pragma once
// The NMEA 0183 checksum: the XOR of every byte between the '$' and the '*',
// written as two upper-case hexadecimal digits. The one copy the parser, the
// writer and the tests use.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace gps {

// The XOR of every byte of `body` (the text between '$' and '*'). Eight
// bytes at a time, then the eight lanes folded into one: every sentence the
// center writes and every one the event server reads goes through here.
inline unsigned nmeaChecksumByte(std::string_view body) {
    std::uint64_t lanes = 0;
    std::size_t i = 0;
    for (; i + 8 <= body.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, body.data() + i, sizeof word);
        lanes ^= word;
    }
    lanes ^= lanes >> 32;
    lanes ^= lanes >> 16;
    lanes ^= lanes >> 8;
    auto sum = static_cast<unsigned>(lanes & 0xFF);
    for (; i < body.size(); ++i) {
        sum ^= static_cast<unsigned char>(body[i]);
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
