#include "db/utf16.h"

#include <cstdint>

namespace db {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes the UTF-16 code point at in[i]; advances i. False on an unpaired
// surrogate (i still advances past it).
bool NextUtf16(std::u16string_view in, std::size_t& i, char32_t& c) {
    const char32_t u = in[i++];
    if (!IsSurrogate(u)) {
        c = u;
        return true;
    }
    if (u <= 0xDBFF && i < in.size() && in[i] >= 0xDC00 && in[i] <= 0xDFFF) {
        c = 0x10000 + ((u - 0xD800) << 10) + (char32_t{in[i]} - 0xDC00);
        ++i;
        return true;
    }
    return false;
}

}  // namespace

bool Utf8ToUtf16(std::string_view in, std::u16string& out) {
    out.clear();
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        const auto b0 = static_cast<std::uint8_t>(in[i]);
        if (b0 < 0x80) {
            out += static_cast<char16_t>(b0);
            ++i;
            continue;
        }
        int extra = 0;
        char32_t c = 0;
        char32_t min = 0;
        if ((b0 & 0xE0) == 0xC0) {
            extra = 1;
            c = b0 & 0x1F;
            min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2;
            c = b0 & 0x0F;
            min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3;
            c = b0 & 0x07;
            min = 0x10000;
        } else {
            return false;  // a continuation byte first, or 0xF8..0xFF
        }
        if (in.size() - i <= static_cast<std::size_t>(extra)) {
            return false;  // cut short
        }
        for (int k = 1; k <= extra; ++k) {
            const auto b = static_cast<std::uint8_t>(in[i + static_cast<std::size_t>(k)]);
            if ((b & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (b & 0x3F);
        }
        if (c < min || c > 0x10FFFF || IsSurrogate(c)) {
            return false;  // overlong, past Unicode, or an encoded surrogate
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

bool Utf16ToUtf8(std::u16string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        char32_t c = 0;
        if (!NextUtf16(in, i, c)) {
            return false;
        }
        AppendUtf8(out, c);
    }
    return true;
}

std::string Utf16ToUtf8Lossy(std::u16string_view in) {
    std::string out;
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        char32_t c = 0;
        AppendUtf8(out, NextUtf16(in, i, c) ? c : kReplacement);
    }
    return out;
}

}  // namespace db
