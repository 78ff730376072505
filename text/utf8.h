#pragma once
// The one UTF-8 checker and repairer: text from a device, a terminal or a
// peer is made well-formed here before anyone shows, stores or sends it.

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

// True when the text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// The text with every ill-formed sequence (a stray continuation byte, a
// truncated or overlong sequence, a surrogate, a code point past U+10FFFF)
// replaced by U+FFFD, one per maximal ill-formed subpart, as the Unicode
// standard recommends. NUL bytes end nothing here; callers pass what they
// mean to keep.
std::string MakeValidUtf8(std::string_view text);

// The length of the longest prefix of valid UTF-8 `text` that has at most
// `maxBytes` bytes and does not split a character.
std::size_t Utf8PrefixLength(std::string_view text, std::size_t maxBytes);

}  // namespace text
