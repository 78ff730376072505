#pragma once
// UTF-8 helpers for text that comes from a peer.

#include <cstddef>
#include <string>
#include <string_view>

namespace vardo::protocol {

// True when the text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

// The text with every ill-formed sequence replaced by U+FFFD (one per maximal
// ill-formed subpart, as the Unicode standard recommends).
std::string makeValidUtf8(std::string_view text);

// The length of the longest prefix of valid UTF-8 `text` that has at most
// `maxBytes` bytes and does not split a character.
std::size_t utf8PrefixLength(std::string_view text, std::size_t maxBytes);

}  // namespace vardo::protocol
