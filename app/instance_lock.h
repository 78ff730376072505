#pragma once
// One running event server per program directory: two would store every
// fix twice and write into the same recordings. The lock is an flock on a
// file in the directory, so it ends with the process however it ends.

#include <string>

namespace app {

class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock on `dir` + kLockFileName. False with Problem() saying
    // why: another instance holds it, or the file cannot be made.
    bool Acquire(const std::string& dir);
    const std::string& Problem() const { return problem_; }
    // Whether Acquire failed because another process holds the lock (and
    // not because the file could not be made).
    bool HeldByAnother() const { return heldByAnother_; }

    static constexpr const char* kLockFileName = ".vardo-event-server.lock";

private:
    int fd_ = -1;
    std::string problem_;
    bool heldByAnother_ = false;
};

}  // namespace app
