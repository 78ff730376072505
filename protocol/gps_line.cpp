#include "protocol/gps_line.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "text/utf8.h"

namespace vardo::protocol {
namespace {

// Escapes as the document writer does with non-ASCII kept: the two
// characters JSON reserves, the five control characters with a short form,
// every other one below 0x20 as \u00xx in lower case; anything else,
// DEL and multi-byte characters included, as it is.
bool needsEscape(char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
}

void appendString(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t done = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!needsEscape(c)) {
            continue;  // goes with its run of plain bytes
        }
        out.append(text.data() + done, i - done);
        done = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default: {
                const auto byte = static_cast<unsigned char>(c);
                const char escaped[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
                out.append(escaped, sizeof escaped);
            }
        }
    }
    out.append(text.data() + done, text.size() - done);
    out += '"';
}

// Whether every byte of `text` is ASCII that JSON carries as it is (0x20 to
// 0x7F but the quote and the backslash): such text is valid UTF-8 and needs
// no escape. A phone number and an RMC sentence always are; they are tested
// eight bytes at a time, which costs a fraction of the byte-wise walks.
bool isPlainAscii(std::string_view text) {
    constexpr std::uint64_t kOnes = 0x0101010101010101;
    constexpr std::uint64_t kHighBits = 0x8080808080808080;
    const auto hasZeroByte = [](std::uint64_t word) {
        return ((word - kOnes) & ~word & kHighBits) != 0;
    };
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, sizeof word);
        // No byte at 0x80 or above; none below 0x20 (subtracting 0x20 from
        // an ASCII byte below it borrows into its high bit); no quote or
        // backslash (a byte equal to it is zero after the xor).
        if ((word & kHighBits) != 0 || ((word - 0x20 * kOnes) & ~word & kHighBits) != 0 ||
            hasZeroByte(word ^ ('"' * kOnes)) || hasZeroByte(word ^ ('\\' * kOnes))) {
            return false;
        }
    }
    for (; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80 || needsEscape(text[i])) {
            return false;
        }
    }
    return true;
}

template <typename Integer>
void appendNumber(std::string& out, Integer value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

void appendField(std::string& out, std::string_view key, std::string_view text) {
    out += ",\"";
    out += key;
    out += "\":";
    appendString(out, text);
}

// A field whose text isPlainAscii: its bytes go in as they are.
void appendPlainField(std::string& out, std::string_view key, std::string_view text) {
    out += ",\"";
    out += key;
    out += "\":\"";
    out += text;
    out += '"';
}

// A text field: as it is when `plain` (isPlainAscii), escaped otherwise.
void appendTextField(std::string& out, std::string_view key, std::string_view text, bool plain) {
    if (plain) {
        appendPlainField(out, key, text);
    } else {
        appendField(out, key, text);
    }
}

// The fields every event line ends with, and the end of the line.
void appendTimeAndNumber(std::string& out, const ReceivedAtMs& at, std::uint64_t seq) {
    if (at) {
        out += ",\"at\":";
        appendNumber(out, *at);
    }
    if (seq != 0) {
        out += ",\"seq\":";
        appendNumber(out, seq);
    }
    out += "}\n";
}

// The line of a report whose phone and sentence are plain ASCII and which
// changes neither vehicle nor driver: nearly every line the center writes.
// Written through a pointer into a string sized once for the longest numbers
// (no allocation into a line kept from before).
void plainLine(const Gps& gps, std::string& line) {
    constexpr std::string_view kOpen = "{\"op\":\"gps\",\"dev\":\"";
    constexpr std::string_view kGps = "\",\"gps\":\"";
    constexpr std::string_view kAt = "\",\"at\":";
    constexpr std::string_view kSeq = ",\"seq\":";
    constexpr std::size_t kNumberDigits = 20;  // the longest 64-bit number, sign included
    line.resize(kOpen.size() + gps.dev.size() + kGps.size() + gps.gps.size() + kAt.size() +
                kNumberDigits + kSeq.size() + kNumberDigits + 3);
    char* p = line.data();
    const auto put = [&p](std::string_view text) {
        std::memcpy(p, text.data(), text.size());
        p += text.size();
    };
    put(kOpen);
    put(gps.dev);
    put(kGps);
    put(gps.gps);
    if (gps.at) {
        put(kAt);
        p = std::to_chars(p, p + kNumberDigits, *gps.at).ptr;
    } else {
        *p++ = '"';
    }
    if (gps.seq != 0) {
        put(kSeq);
        p = std::to_chars(p, p + kNumberDigits, gps.seq).ptr;
    }
    put("}\n");
    line.resize(static_cast<std::size_t>(p - line.data()));
}

}  // namespace

std::optional<std::string> gpsLine(const Gps& gps) {
    std::string line;
    if (!gpsLine(gps, line)) {
        return std::nullopt;
    }
    return line;
}

bool gpsLine(const Gps& gps, std::string& line) {
    const auto valid = [](const std::optional<std::string>& text) {
        return !text || text::IsValidUtf8(*text);
    };
    const bool plainDev = isPlainAscii(gps.dev);
    const bool plainGps = isPlainAscii(gps.gps);
    if ((!plainDev && !text::IsValidUtf8(gps.dev)) || (!plainGps && !text::IsValidUtf8(gps.gps)) ||
        !valid(gps.vehicle) || !valid(gps.driver)) {
        return false;
    }
    if (plainDev && plainGps && !gps.vehicle && !gps.driver) {
        plainLine(gps, line);
        return true;
    }
    line.clear();
    // Room for a phone, an RMC sentence and both numbers without a second
    // allocation.
    line.reserve(64 + gps.dev.size() + gps.gps.size() +
                 (gps.vehicle ? gps.vehicle->size() + 16 : 0) +
                 (gps.driver ? gps.driver->size() + 16 : 0) + 48);
    line += "{\"op\":\"gps\"";
    appendTextField(line, "dev", gps.dev, plainDev);
    appendTextField(line, "gps", gps.gps, plainGps);
    if (gps.vehicle) {
        appendField(line, "vehicle", *gps.vehicle);
    }
    if (gps.driver) {
        appendField(line, "driver", *gps.driver);
    }
    appendTimeAndNumber(line, gps.at, gps.seq);
    return true;
}

std::optional<std::string> onlineLine(const Online& online) {
    const std::string_view texts[] = {online.dev, online.name, online.vehicle, online.driver,
                                      online.gps};
    bool plain[std::size(texts)];
    std::size_t length = 0;
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        plain[i] = isPlainAscii(texts[i]);
        if (!plain[i] && !text::IsValidUtf8(texts[i])) {
            return std::nullopt;
        }
        length += texts[i].size();
    }
    static constexpr std::string_view kKeys[] = {"dev", "name", "vehicle", "driver"};
    std::string line;
    // Room for every field with a few escapes, without a second allocation.
    line.reserve(length + 160);
    line += "{\"op\":\"online\"";
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        appendTextField(line, kKeys[i], texts[i], plain[i]);
    }
    line += ",\"channels\":";
    appendNumber(line, online.channels);
    appendTextField(line, "gps", online.gps, plain[4]);
    appendTimeAndNumber(line, online.at, online.seq);
    return line;
}

}  // namespace vardo::protocol
