#include "files/replace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "files/private_files.h"

namespace files {

bool ReplaceFile(const std::filesystem::path& file, std::string_view text, std::error_code& error) {
    const std::filesystem::path temporary = file.string() + ".tmp";
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kPrivateFileMode);
    if (fd < 0) {
        error = std::error_code(errno, std::generic_category());
        return false;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = std::error_code(n < 0 ? errno : EIO, std::generic_category());
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 || std::rename(temporary.c_str(), file.c_str()) != 0) {
        error = std::error_code(errno, std::generic_category());
        ::unlink(temporary.c_str());
        return false;
    }
    error.clear();
    return true;
}

}  // namespace files
