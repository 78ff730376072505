#include "text/ascii.h"

namespace text {

bool IsAsciiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view TrimAscii(std::string_view s) {
    while (!s.empty() && IsAsciiSpace(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsAsciiSpace(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string AsciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = AsciiLower(c);
    }
    return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

bool StartsWithIgnoringCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsIgnoringCase(s.substr(0, prefix.size()), prefix);
}

}  // namespace text
