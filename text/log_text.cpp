#include "text/log_text.h"

#include <cstdint>

namespace text {
namespace {

void AppendHex(std::string& out, unsigned char byte) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xF];
}

void AppendHexBytes(std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
        AppendHex(out, static_cast<unsigned char>(c));
    }
}

// The length of the well-formed UTF-8 sequence at the start of `s`, and its
// code point; 0 when the first byte does not start one.
std::size_t Utf8Sequence(std::string_view s, char32_t& code) {
    const auto b0 = static_cast<unsigned char>(s[0]);
    std::size_t length = 0;
    char32_t min = 0;
    if (b0 < 0x80) {
        code = b0;
        return 1;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        code = b0 & 0x1F;
        min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        code = b0 & 0x0F;
        min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        code = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (b & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// Code points that change how a terminal or an editor shows what follows.
bool IsInvisibleControl(char32_t code) {
    return (code >= 0x80 && code <= 0x9F) ||      // C1 controls (CSI among them)
           (code >= 0x202A && code <= 0x202E) ||  // bidirectional embeddings, overrides
           (code >= 0x2066 && code <= 0x2069) ||  // bidirectional isolates
           code == 0x200E || code == 0x200F;      // direction marks
}

// The escaped form of the next character of `s`, and how many bytes of `s`
// it stands for.
std::size_t EscapeNext(std::string_view s, std::string& piece) {
    piece.clear();
    char32_t code = 0;
    const std::size_t length = Utf8Sequence(s, code);
    if (length == 0) {
        AppendHex(piece, static_cast<unsigned char>(s[0]));
        return 1;
    }
    if (length == 1) {
        const char c = s[0];
        if (code < 0x20 || code == 0x7F) {
            AppendHex(piece, static_cast<unsigned char>(c));
        } else if (c == '\\' || c == '\'') {
            piece += '\\';
            piece += c;
        } else {
            piece += c;
        }
        return 1;
    }
    if (IsInvisibleControl(code)) {
        AppendHexBytes(piece, s.substr(0, length));
    } else {
        piece.append(s.substr(0, length));
    }
    return length;
}

}  // namespace

std::string PeerText(std::string_view text, std::size_t maxBytes) {
    std::string out = "'";
    std::string piece;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t used = EscapeNext(text.substr(pos), piece);
        if (out.size() - 1 + piece.size() > maxBytes) {
            break;
        }
        out += piece;
        pos += used;
    }
    out += '\'';
    if (pos < text.size()) {
        out += "... (" + std::to_string(text.size()) + " bytes)";
    }
    return out;
}

std::string EscapeControlBytes(std::string_view line) {
    std::string out;
    out.reserve(line.size());
    for (const char c : line) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            AppendHex(out, b);
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace text
