#pragma once
// One running process per folder: two event servers on one program
// directory would store every fix twice and write into the same recordings;
// two centers on one data folder would write into the same journal. The lock
// is an flock on a file in the folder, so it ends with the process however
// it ends.

#include <string>

namespace files {

class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the lock on the file `lockFileName` in `dir` (the current folder
    // when empty) for `program`; the refusal names both ("another PROGRAM
    // already runs on FOLDER_KIND DIR"). False with Problem() saying why:
    // another instance holds it, or the file cannot be made.
    bool Acquire(const std::string& dir, const std::string& lockFileName,
                 const std::string& program, const std::string& folderKind);
    const std::string& Problem() const { return problem_; }
    // Whether Acquire failed because another process holds the lock (and
    // not because the file could not be made).
    bool HeldByAnother() const { return heldByAnother_; }

private:
    int fd_ = -1;
    std::string problem_;
    bool heldByAnother_ = false;
};

}  // namespace files
