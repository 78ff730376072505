#pragma once
// Replaces a file's whole content so that a reader sees the old content or
// the new, never half of one: the text goes to a file beside it, which is
// then renamed over it. The file is private (kPrivateFileMode).

#include <filesystem>
#include <string_view>
#include <system_error>

namespace files {

// True when `file` holds `text` afterwards; `error` says why not.
bool ReplaceFile(const std::filesystem::path& file, std::string_view text, std::error_code& error);

}  // namespace files
