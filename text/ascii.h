#pragma once
// ASCII helpers for keys, switches and names that the program compares
// without regard to case: settings keys, connection-string keys, "on"/"off"
// switches, file extensions. Only A-Z fold; other bytes (UTF-8 included)
// compare as they are, so the result never depends on the locale.

#include <string>
#include <string_view>

namespace text {

// True for the ASCII blanks: space, tab, CR, LF, vertical tab, form feed.
bool IsAsciiSpace(char c);

// `s` without the ASCII blanks at either end.
std::string_view TrimAscii(std::string_view s);

// `c` with A-Z made a-z.
char AsciiLower(char c);

// `s` with A-Z made a-z.
std::string AsciiLower(std::string_view s);

// True when `a` and `b` are equal once A-Z are folded to a-z.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// True when `s` begins with `prefix`, folding A-Z on both sides.
bool StartsWithIgnoringCase(std::string_view s, std::string_view prefix);

}  // namespace text
