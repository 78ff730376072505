#include "files/private_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace files {

bool CreatePrivateFolders(const std::filesystem::path& folder, std::error_code& error) {
    error.clear();
    if (folder.empty()) {
        return true;
    }
    // The missing folders, innermost first.
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path p = folder; !p.empty(); p = p.parent_path()) {
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                error = std::make_error_code(std::errc::not_a_directory);
                return false;
            }
            break;
        }
        missing.push_back(p);
        if (p == p.parent_path()) {
            break;
        }
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), kPrivateFolderMode) != 0) {
            if (errno == EEXIST) {
                continue;  // made meanwhile by someone else: theirs
            }
            error = std::error_code(errno, std::generic_category());
            return false;
        }
        // mkdir's mode went through the umask.
        ::chmod(it->c_str(), kPrivateFolderMode);
    }
    return true;
}

bool CreatePrivateFile(const std::filesystem::path& file, std::error_code& error) {
    error.clear();
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          kPrivateFileMode);
    if (fd < 0) {
        if (errno == EEXIST) {
            return true;
        }
        error = std::error_code(errno, std::generic_category());
        return false;
    }
    // open's mode went through the umask.
    ::fchmod(fd, kPrivateFileMode);
    ::close(fd);
    return true;
}

}  // namespace files
