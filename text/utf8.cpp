#include "text/utf8.h"

namespace text {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at text[pos], or 0 when it is
// ill-formed; `bad` then receives the length of the maximal ill-formed
// subpart to replace by one U+FFFD.
std::size_t sequenceLength(std::string_view text, std::size_t pos, std::size_t& bad) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[pos + i]); };
    const unsigned char lead = byte(0);
    bad = 1;
    if (lead < 0x80) {
        return 1;
    }
    std::size_t need = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) {
            lo = 0xA0;  // overlong
        } else if (lead == 0xED) {
            hi = 0x9F;  // surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) {
            lo = 0x90;  // overlong
        } else if (lead == 0xF4) {
            hi = 0x8F;  // above U+10FFFF
        }
    } else {
        return 0;
    }
    for (std::size_t i = 1; i <= need; ++i) {
        if (pos + i >= text.size()) {
            bad = i;
            return 0;
        }
        const unsigned char c = byte(i);
        const unsigned char min = i == 1 ? lo : 0x80;
        const unsigned char max = i == 1 ? hi : 0xBF;
        if (c < min || c > max) {
            bad = i;
            return 0;
        }
    }
    return need + 1;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    std::size_t pos = 0;
    std::size_t bad = 0;
    while (pos < text.size()) {
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const std::size_t n = sequenceLength(text, pos, bad);
        if (n == 0) {
            return false;
        }
        pos += n;
    }
    return true;
}

std::string MakeValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t pos = 0;
    std::size_t done = 0;  // text before it is in `out`
    std::size_t bad = 0;
    while (pos < text.size()) {
        // Well-formed runs are copied whole, at the next repair or the end.
        if (static_cast<unsigned char>(text[pos]) < 0x80) {
            ++pos;
            continue;
        }
        const std::size_t n = sequenceLength(text, pos, bad);
        if (n == 0) {
            out.append(text.substr(done, pos - done));
            out += kReplacement;
            pos += bad;
            done = pos;
        } else {
            pos += n;
        }
    }
    out.append(text.substr(done));
    return out;
}

std::size_t Utf8PrefixLength(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return text.size();
    }
    std::size_t n = maxBytes;
    // Step back over continuation bytes to the start of the cut character.
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
        --n;
    }
    return n;
}

}  // namespace text
