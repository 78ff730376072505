#include "centerlink/log_text.h"

namespace centerlink {

std::string printable(std::string_view text, std::size_t limit) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() < limit ? text.size() : limit);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == limit) {
            out += "...";
            break;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7f) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace centerlink
