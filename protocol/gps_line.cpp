#include "protocol/gps_line.h"

#include <charconv>
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

}  // namespace

std::optional<std::string> gpsLine(const Gps& gps) {
    const auto valid = [](const std::optional<std::string>& text) {
        return !text || text::IsValidUtf8(*text);
    };
    if (!text::IsValidUtf8(gps.dev) || !text::IsValidUtf8(gps.gps) || !valid(gps.vehicle) ||
        !valid(gps.driver)) {
        return std::nullopt;
    }
    std::string line;
    // Room for a phone, an RMC sentence and both numbers without a second
    // allocation.
    line.reserve(64 + gps.dev.size() + gps.gps.size() +
                 (gps.vehicle ? gps.vehicle->size() + 16 : 0) +
                 (gps.driver ? gps.driver->size() + 16 : 0) + 48);
    line += "{\"op\":\"gps\"";
    appendField(line, "dev", gps.dev);
    appendField(line, "gps", gps.gps);
    if (gps.vehicle) {
        appendField(line, "vehicle", *gps.vehicle);
    }
    if (gps.driver) {
        appendField(line, "driver", *gps.driver);
    }
    if (gps.at) {
        line += ",\"at\":";
        appendNumber(line, *gps.at);
    }
    if (gps.seq != 0) {
        line += ",\"seq\":";
        appendNumber(line, gps.seq);
    }
    line += "}\n";
    return line;
}

}  // namespace vardo::protocol
