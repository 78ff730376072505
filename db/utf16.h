#pragma once
// Strict conversions between UTF-8 and UTF-16 (the text of ODBC's wide
// calls). Nothing is replaced: invalid input (a broken or overlong sequence,
// an encoded surrogate, an unpaired surrogate) makes the conversion fail.

#include <string>
#include <string_view>

namespace db {

bool Utf8ToUtf16(std::string_view in, std::u16string& out);
bool Utf16ToUtf8(std::u16string_view in, std::string& out);

// For texts from drivers and servers (messages): never fails; anything
// invalid becomes U+FFFD.
std::string Utf16ToUtf8Lossy(std::u16string_view in);

}  // namespace db
