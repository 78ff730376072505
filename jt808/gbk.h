#pragma once
// Terminals send text in GBK (Chinese plates, driver names). Inside the
// system text is UTF-8.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace jt808 {

// Decodes GBK (read as GB18030, its superset). Every byte that starts no
// valid character becomes U+FFFD; the rest of the text is kept.
std::string gbkToUtf8(std::span<const std::uint8_t> gbk);
std::string gbkToUtf8(std::string_view gbk);

// Encodes UTF-8 text as GBK. A character GBK lacks, and each ill-formed
// UTF-8 byte, becomes '?'.
std::string utf8ToGbk(std::string_view utf8);

}  // namespace jt808
