#pragma once
// Keeps EventRecord/ from filling the disk: recordings older than a number
// of days are deleted, and while the disk has less free space than asked for
// the oldest ones go first. A recording being written is never deleted.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace app {

struct RetentionPolicy {
    int keepDays = 0;                // 0: keep them however old
    std::uint64_t minFreeBytes = 0;  // 0: no free-space rule
    bool Active() const { return keepDays > 0 || minFreeBytes > 0; }
};

// EventServer_RecordKeepDays and EventServer_RecordMinFreeMB; empty or 0
// turns a rule off, text that is no number turns it off with a warning
// appended to `warnings`.
RetentionPolicy ReadRetentionPolicy(std::string_view keepDays, std::string_view minFreeMB,
                                    std::vector<std::string>& warnings);

struct RetentionOutcome {
    std::vector<std::string> lines;  // one per deleted file or problem, for the log
    std::size_t deleted = 0;
};

// The free bytes of the disk that holds `folder`; nullopt when unknown.
using FreeSpace = std::function<std::optional<std::uint64_t>(const std::string& folder)>;
std::optional<std::uint64_t> DiskFreeSpace(const std::string& folder);

// Applies `policy` to the .avi files directly in `folder`, oldest first
// (by modification time). `active` holds the paths being written.
RetentionOutcome ApplyRetentionPolicy(const std::string& folder, const RetentionPolicy& policy,
                                      std::chrono::system_clock::time_point now,
                                      const std::set<std::string>& active,
                                      const FreeSpace& freeSpace = DiskFreeSpace);

}  // namespace app
