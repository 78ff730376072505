#include "journal/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

namespace vardo::journal {

std::string SystemError(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

std::string SegmentName(std::uint32_t index) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = "seg-00000000.jnl";
    for (int i = 0; i < 8; ++i) {
        name[4 + 7 - i] = kHex[(index >> (4 * i)) & 0xF];
    }
    return name;
}

bool SegmentIndex(const std::string& name, std::uint32_t& index) {
    if (name.size() != 16 || !name.starts_with("seg-") || !name.ends_with(".jnl")) {
        return false;
    }
    const char* first = name.data() + 4;
    const auto [end, ec] = std::from_chars(first, first + 8, index, 16);
    return ec == std::errc() && end == first + 8;
}

bool ReadAt(int fd, std::uint64_t offset, std::size_t size, std::string& out) {
    out.resize(size);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n =
            ::pread(fd, out.data() + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return true;
}

void SyncDir(const std::filesystem::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace vardo::journal
