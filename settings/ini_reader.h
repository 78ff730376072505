#pragma once
// A reader of the usual INI layout, as Config.ini files written on Windows use
// it:
//
//   [VardoEventServer]
//   EventServer_UserName = "root"
//
// Section and key names match in any case; blanks around the name, the '='
// and the value are dropped, and so is one pair of matching quotes (" or ')
// around the value. The first occurrence of a key wins. Lines have no length
// limit. A file may be UTF-8 (with or without a byte-order mark) or UTF-16
// with a byte-order mark, as Windows editors save it; values come back UTF-8.

#include <optional>
#include <string>
#include <string_view>

namespace settings {

// The value of `key` in `section` of the file at `path`; nothing when the
// file cannot be read or holds no such key.
std::optional<std::string> readIniValue(const std::string& path, std::string_view section,
                                        std::string_view key);

// The whole file as UTF-8 text (decoded as above); nothing when it cannot
// be read.
std::optional<std::string> readIniText(const std::string& path);

// The same over the file's content.
std::optional<std::string> findIniValue(std::string_view content, std::string_view section,
                                        std::string_view key);

// Whether the content has a header [section] (in any case).
bool hasIniSection(std::string_view content, std::string_view section);

// `text` cut to at most `count` UTF-8 characters; a character is never split.
std::string cutToCharacters(std::string text, std::size_t count);

}  // namespace settings
