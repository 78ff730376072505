#include "jt808/frame.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "jt808/bytes.h"

namespace jt808 {

namespace {

constexpr std::uint16_t kLengthMask = 0x03ff;
constexpr int kEncryptionShift = 10;
constexpr std::uint16_t kSubpackagedBit = 1u << 13;
constexpr std::uint16_t kVersionBit = 1u << 14;

std::size_t headerBytes(Version v, bool subpackaged) {
    return (v == Version::V2019 ? 17 : 12) + (subpackaged ? 4 : 0);
}

std::string hex(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02x", v);
    return buf;
}

DecodedFrame failed(FrameError code, std::string why) {
    DecodedFrame out;
    out.code = code;
    out.error = std::move(why);
    return out;
}

}  // namespace

std::uint8_t checkCode(std::span<const std::uint8_t> bytes) {
    std::uint8_t x = 0;
    for (const std::uint8_t b : bytes) {
        x ^= b;
    }
    return x;
}

namespace {

void appendEscaped(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> raw) {
    for (const std::uint8_t b : raw) {
        if (b == kFlag) {
            out.push_back(kEscape);
            out.push_back(0x02);
        } else if (b == kEscape) {
            out.push_back(kEscape);
            out.push_back(0x01);
        } else {
            out.push_back(b);
        }
    }
}

}  // namespace

std::vector<std::uint8_t> escape(std::span<const std::uint8_t> raw) {
    std::vector<std::uint8_t> out;
    out.reserve(raw.size() + raw.size() / 8 + 2);
    appendEscaped(out, raw);
    return out;
}

namespace {

// Undoes escape() into `out` (emptied first), copying the runs between
// escapes in one go. Empty when it succeeds, else why it failed.
std::string unescapeInto(std::span<const std::uint8_t> escaped, std::vector<std::uint8_t>& out) {
    out.clear();
    out.reserve(escaped.size());
    const std::uint8_t* const begin = escaped.data();
    const std::uint8_t* const end = begin + escaped.size();
    const std::uint8_t* p = begin;
    while (p != end) {
        const auto* const escape = static_cast<const std::uint8_t*>(
            std::memchr(p, kEscape, static_cast<std::size_t>(end - p)));
        const std::uint8_t* const runEnd = escape != nullptr ? escape : end;
        if (const void* flag = std::memchr(p, kFlag, static_cast<std::size_t>(runEnd - p))) {
            return "bare 0x7e inside the frame at byte " +
                   std::to_string(static_cast<const std::uint8_t*>(flag) - begin);
        }
        out.insert(out.end(), p, runEnd);
        if (escape == nullptr) {
            break;
        }
        if (escape + 1 == end) {
            return "frame ends inside an escape";
        }
        const std::uint8_t next = escape[1];
        if (next == 0x02) {
            out.push_back(kFlag);
        } else if (next == 0x01) {
            out.push_back(kEscape);
        } else {
            return "invalid escape 0x7d " + hex(next) + " at byte " +
                   std::to_string(escape - begin);
        }
        p = escape + 2;
    }
    return {};
}

}  // namespace

Result<std::vector<std::uint8_t>> unescape(std::span<const std::uint8_t> escaped) {
    std::vector<std::uint8_t> out;
    if (std::string error = unescapeInto(escaped, out); !error.empty()) {
        return Result<std::vector<std::uint8_t>>::fail(std::move(error));
    }
    return Result<std::vector<std::uint8_t>>::of(std::move(out));
}

DecodedFrame decodeFrame(std::span<const std::uint8_t> frame) {
    if (!frame.empty() && frame.front() == kFlag) {
        frame = frame.subspan(1);
    }
    if (!frame.empty() && frame.back() == kFlag) {
        frame = frame.first(frame.size() - 1);
    }
    // Every frame of every terminal comes here. One without escapes (most
    // of them) is read where it lies; the others are unescaped into a
    // buffer the thread keeps, so that a frame costs no allocation but its
    // message's body.
    std::span<const std::uint8_t> bytes = frame;
    if (!frame.empty() && (std::memchr(frame.data(), kEscape, frame.size()) != nullptr ||
                           std::memchr(frame.data(), kFlag, frame.size()) != nullptr)) {
        thread_local std::vector<std::uint8_t> unescaped;
        if (std::string error = unescapeInto(frame, unescaped); !error.empty()) {
            return failed(FrameError::Escape, std::move(error));
        }
        bytes = unescaped;
    }
    // The smallest frame: a 2013 header without body, and the check code.
    if (bytes.size() < headerBytes(Version::V2013, false) + 1) {
        return failed(FrameError::TooShort,
                      "frame too short: " + std::to_string(bytes.size()) + " bytes");
    }
    const std::span<const std::uint8_t> content(bytes.data(), bytes.size() - 1);
    const std::uint8_t expected = checkCode(content);
    if (expected != bytes.back()) {
        return failed(FrameError::CheckCode, "bad check code: frame says " + hex(bytes.back()) +
                                                 ", bytes give " + hex(expected));
    }

    Reader r(content);
    Header h;
    h.msgId = r.u16();
    const std::uint16_t props = r.u16();
    const std::size_t bodyLength = props & kLengthMask;
    h.encryption = static_cast<std::uint8_t>(props >> kEncryptionShift & 0x07);
    h.subpackaged = (props & kSubpackagedBit) != 0;
    h.version = (props & kVersionBit) != 0 ? Version::V2019 : Version::V2013;
    const std::size_t needed = headerBytes(h.version, h.subpackaged);
    if (content.size() < needed) {
        return failed(FrameError::TooShort,
                      "frame too short for its header: " + std::to_string(content.size()) + " of " +
                          std::to_string(needed) + " bytes");
    }
    if (h.version == Version::V2019) {
        h.protocolVersion = r.u8();
        h.phone = r.bcd(10);
    } else {
        h.phone = r.bcd(6);
    }
    if (!r.ok()) {
        return failed(FrameError::Header, "phone number is not BCD");
    }
    h.serial = r.u16();
    if (h.subpackaged) {
        h.packageTotal = r.u16();
        h.packageIndex = r.u16();
    }

    DecodedFrame out;
    out.header = h;
    if (h.subpackaged &&
        (h.packageTotal == 0 || h.packageIndex == 0 || h.packageIndex > h.packageTotal)) {
        out.code = FrameError::Header;
        out.error = "package " + std::to_string(h.packageIndex) + " of " +
                    std::to_string(h.packageTotal) + " does not exist";
        return out;
    }
    if (r.remaining() != bodyLength) {
        out.code = FrameError::BodyLength;
        out.error = "body length says " + std::to_string(bodyLength) + " bytes, frame holds " +
                    std::to_string(r.remaining());
        return out;
    }
    if (h.encryption != 0) {
        out.code = FrameError::Encrypted;
        out.error = "encrypted (method " + std::to_string(h.encryption) + "): refused";
        return out;
    }
    const auto body = r.rest();
    out.message = Message{h, std::vector<std::uint8_t>(body.begin(), body.end())};
    return out;
}

std::vector<std::uint8_t> encodeFrame(const Header& header, std::span<const std::uint8_t> body) {
    const std::size_t digits = phoneDigits(header.version);
    const bool phoneOk =
        header.phone.size() <= digits && std::all_of(header.phone.begin(), header.phone.end(),
                                                     [](char c) { return c >= '0' && c <= '9'; });
    if (body.size() > kMaxBodyBytes || !phoneOk) {
        return {};
    }
    // Every answer to every report goes through here: the frame's content is
    // laid out on the stack, and the frame is one allocation of its size.
    std::array<std::uint8_t, 21 + kMaxBodyBytes + 1> raw;
    std::uint8_t* p = raw.data();
    const auto u16 = [&p](std::uint16_t v) {
        *p++ = static_cast<std::uint8_t>(v >> 8);
        *p++ = static_cast<std::uint8_t>(v);
    };
    u16(header.msgId);
    std::uint16_t props = static_cast<std::uint16_t>(body.size());
    props |= static_cast<std::uint16_t>((header.encryption & 0x07) << kEncryptionShift);
    if (header.subpackaged) {
        props |= kSubpackagedBit;
    }
    if (header.version == Version::V2019) {
        props |= kVersionBit;
    }
    u16(props);
    if (header.version == Version::V2019) {
        *p++ = header.protocolVersion;
    }
    // BCD, right-aligned: leading zeros stand for the digits the phone lacks.
    const std::size_t zeros = digits - header.phone.size();
    const auto digitAt = [&](std::size_t i) {
        return static_cast<std::uint8_t>(i < zeros ? 0 : header.phone[i - zeros] - '0');
    };
    for (std::size_t i = 0; i < digits; i += 2) {
        *p++ = static_cast<std::uint8_t>(digitAt(i) << 4 | digitAt(i + 1));
    }
    u16(header.serial);
    if (header.subpackaged) {
        u16(header.packageTotal);
        u16(header.packageIndex);
    }
    if (!body.empty()) {
        std::memcpy(p, body.data(), body.size());
        p += body.size();
    }
    const std::span<const std::uint8_t> content(raw.data(), p);
    *p++ = checkCode(content);
    const std::span<const std::uint8_t> unescaped(raw.data(), p);
    const auto escapes = static_cast<std::size_t>(
        std::count_if(unescaped.begin(), unescaped.end(),
                      [](std::uint8_t b) { return b == kFlag || b == kEscape; }));
    std::vector<std::uint8_t> out(unescaped.size() + escapes + 2);
    std::uint8_t* o = out.data();
    *o++ = kFlag;
    for (const std::uint8_t b : unescaped) {
        if (b == kFlag || b == kEscape) {
            *o++ = kEscape;
            *o++ = b == kFlag ? 0x02 : 0x01;
        } else {
            *o++ = b;
        }
    }
    *o = kFlag;
    return out;
}

std::vector<std::vector<std::uint8_t>> encodeSubpackaged(const Header& header,
                                                         std::span<const std::uint8_t> body,
                                                         std::size_t pieceBytes) {
    pieceBytes = std::clamp<std::size_t>(pieceBytes, 1, kMaxBodyBytes);
    const std::size_t count = std::max<std::size_t>(1, (body.size() + pieceBytes - 1) / pieceBytes);
    if (count > 0xffff) {
        return {};
    }
    std::vector<std::vector<std::uint8_t>> frames;
    frames.reserve(count);
    Header h = header;
    h.subpackaged = true;
    h.packageTotal = static_cast<std::uint16_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
        h.packageIndex = static_cast<std::uint16_t>(i + 1);
        h.serial = static_cast<std::uint16_t>(header.serial + i);
        const std::size_t at = i * pieceBytes;
        frames.push_back(encodeFrame(h, body.subspan(at, std::min(pieceBytes, body.size() - at))));
    }
    return frames;
}

Header replyHeader(const Header& request, std::uint16_t msgId, std::uint16_t serial) {
    Header h;
    h.msgId = msgId;
    h.version = request.version;
    h.protocolVersion = request.protocolVersion;
    h.phone = request.phone;
    h.serial = serial;
    return h;
}

}  // namespace jt808
