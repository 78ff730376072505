#pragma once
// The database, its journal and the recordings hold vehicle tracks, driver
// names and video: what we create for them is readable by the service's
// user and group only (files 0640, folders 0750), whatever the umask of
// whoever started us. What exists already keeps the mode an administrator
// gave it.

#include <sys/types.h>

#include <filesystem>
#include <system_error>

namespace files {

inline constexpr mode_t kPrivateFileMode = 0640;
inline constexpr mode_t kPrivateFolderMode = 0750;

// Creates `folder` and its missing parents with kPrivateFolderMode. True when
// the folder exists afterwards; `error` says why not.
bool CreatePrivateFolders(const std::filesystem::path& folder, std::error_code& error);

// Creates `file`, empty, with kPrivateFileMode when it does not exist yet,
// so that a library that opens it next (SQLite, libavformat) writes into a
// file with that mode. An existing file is left as it is. The folder must
// exist.
bool CreatePrivateFile(const std::filesystem::path& file, std::error_code& error);

}  // namespace files
