#include "files/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace files {

InstanceLock::~InstanceLock() {
    if (fd_ >= 0) {
        close(fd_);  // releases the lock
    }
}

bool InstanceLock::Acquire(const std::string& dir, const std::string& lockFileName,
                           const std::string& program, const std::string& folderKind) {
    const std::string folder = dir.empty() ? std::string(".") : dir;
    const std::string path = folder + (folder.ends_with('/') ? "" : "/") + lockFileName;
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        problem_ = "cannot create the lock file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        heldByAnother_ = error == EWOULDBLOCK;
        problem_ = heldByAnother_ ? "another " + program + " already runs on " + folderKind + " " +
                                        folder + " (it holds " + path + ")"
                                  : "cannot lock " + path + ": " + std::strerror(error);
        return false;
    }
    // The holder's process id, for an operator who wonders which one it is.
    if (ftruncate(fd, 0) == 0) {
        const std::string pid = std::to_string(getpid()) + "\n";
        [[maybe_unused]] const ssize_t n = write(fd, pid.data(), pid.size());
    }
    fd_ = fd;
    return true;
}

}  // namespace files
