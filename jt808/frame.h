#pragma once
// One signalling frame: 0x7e, header, body, check code, 0x7e, with 0x7e and
// 0x7d inside escaped as 0x7d 0x02 and 0x7d 0x01. The check code is the XOR
// of header and body.
//
// Two header layouts exist. The 2013 one (also used by older terminals):
//   msg id u16, properties u16, phone BCD[6], serial u16, [total u16, index u16]
// The 2019 one sets bit 14 of the properties and adds a version byte:
//   msg id u16, properties u16, version u8, phone BCD[10], serial u16, [...]
// Properties: bits 0-9 body length, 10-12 encryption, 13 sub-packaged.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "jt808/result.h"

namespace jt808 {

inline constexpr std::uint8_t kFlag = 0x7e;
inline constexpr std::uint8_t kEscape = 0x7d;
inline constexpr std::size_t kMaxBodyBytes = 1023;  // 10 bits of body length

enum class Version : std::uint8_t { V2013, V2019 };

inline constexpr std::size_t phoneDigits(Version v) {
    return v == Version::V2019 ? 20 : 12;
}

struct Header {
    std::uint16_t msgId = 0;
    Version version = Version::V2013;
    std::uint8_t protocolVersion = 1;  // the 2019 header's version byte
    std::uint8_t encryption = 0;       // the three encryption bits; 0 = plain
    std::string phone;                 // BCD digits as sent, leading zeros kept
    std::uint16_t serial = 0;
    bool subpackaged = false;
    std::uint16_t packageTotal = 0;  // when sub-packaged
    std::uint16_t packageIndex = 0;  // 1-based, when sub-packaged
    bool operator==(const Header&) const = default;
};

struct Message {
    Header header;
    std::vector<std::uint8_t> body;
    bool operator==(const Message&) const = default;
};

enum class FrameError {
    None,
    Escape,      // 0x7d followed by something else, or a bare 0x7e inside
    TooShort,    // less than a header and a check code
    CheckCode,   // the XOR does not match
    Header,      // phone not BCD, package numbering wrong
    BodyLength,  // the properties' length differs from the bytes present
    Encrypted,   // an encryption bit is set: refused
};

struct DecodedFrame {
    std::optional<Message> message;
    // The header when it could be read, even if the frame was refused (an
    // encrypted message can still be answered).
    std::optional<Header> header;
    FrameError code = FrameError::None;
    std::string error;
    bool ok() const { return message.has_value(); }
};

// The XOR of all bytes.
std::uint8_t checkCode(std::span<const std::uint8_t> bytes);
// Escapes 0x7e and 0x7d; the delimiters are not added.
std::vector<std::uint8_t> escape(std::span<const std::uint8_t> raw);
// Undoes escape(); refuses an invalid escape or a bare 0x7e.
Result<std::vector<std::uint8_t>> unescape(std::span<const std::uint8_t> escaped);

// Decodes one frame, given with or without its 0x7e delimiters.
DecodedFrame decodeFrame(std::span<const std::uint8_t> frame);

// A whole frame, delimiters included. The body length is taken from the body;
// the phone is padded with leading zeros to its header's width. Empty when
// the body is longer than kMaxBodyBytes or the phone has more digits than
// fit or a non-digit.
std::vector<std::uint8_t> encodeFrame(const Header& header, std::span<const std::uint8_t> body);

// A long body cut into sub-packages of at most pieceBytes each, numbered
// from 1, with consecutive serials starting at header.serial.
std::vector<std::vector<std::uint8_t>> encodeSubpackaged(const Header& header,
                                                         std::span<const std::uint8_t> body,
                                                         std::size_t pieceBytes = kMaxBodyBytes);

// The header of the platform's answer to a terminal's message: same header
// layout, version and phone, the given id and the platform's own serial.
Header replyHeader(const Header& request, std::uint16_t msgId, std::uint16_t serial);

}  // namespace jt808
