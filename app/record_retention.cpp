#include "app/record_retention.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <optional>
#include <system_error>

namespace app {

namespace fs = std::filesystem;

namespace {

std::optional<std::uint64_t> Number(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

struct Recording {
    fs::path path;
    std::chrono::system_clock::time_point written;
};

std::chrono::system_clock::time_point WallTime(fs::file_time_type time) {
    return std::chrono::time_point_cast<std::chrono::system_clock::duration>(
        fs::file_time_type::clock::to_sys(time));
}

}  // namespace

RetentionPolicy ReadRetentionPolicy(std::string_view keepDays, std::string_view minFreeMB,
                                    std::vector<std::string>& warnings) {
    RetentionPolicy policy;
    if (!keepDays.empty()) {
        const auto days = Number(keepDays);
        if (!days || *days > 100000) {
            warnings.push_back("EventServer_RecordKeepDays '" + std::string(keepDays) +
                               "' is no number of days; recordings are kept however old");
        } else {
            policy.keepDays = static_cast<int>(*days);
        }
    }
    if (!minFreeMB.empty()) {
        const auto mb = Number(minFreeMB);
        if (!mb || *mb > (UINT64_MAX >> 20)) {
            warnings.push_back("EventServer_RecordMinFreeMB '" + std::string(minFreeMB) +
                               "' is no number of megabytes; no free-space rule");
        } else {
            policy.minFreeBytes = *mb << 20;
        }
    }
    return policy;
}

std::optional<std::uint64_t> DiskFreeSpace(const std::string& folder) {
    std::error_code error;
    const fs::space_info space = fs::space(folder, error);
    if (error) {
        return std::nullopt;
    }
    return space.available;
}

RetentionOutcome ApplyRetentionPolicy(const std::string& folder, const RetentionPolicy& policy,
                                      std::chrono::system_clock::time_point now,
                                      const std::set<std::string>& active,
                                      const FreeSpace& freeSpace) {
    RetentionOutcome outcome;
    if (!policy.Active()) {
        return outcome;
    }
    std::error_code error;
    std::vector<Recording> recordings;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code fileError;
        if (!it->is_regular_file(fileError) || it->path().extension() != ".avi") {
            continue;
        }
        if (active.count(it->path().string()) != 0) {
            continue;  // being written
        }
        const auto written = it->last_write_time(fileError);
        if (fileError) {
            continue;
        }
        recordings.push_back({it->path(), WallTime(written)});
    }
    std::sort(recordings.begin(), recordings.end(),
              [](const Recording& a, const Recording& b) { return a.written < b.written; });

    auto remove = [&](const Recording& recording, const std::string& why) {
        std::error_code removeError;
        if (fs::remove(recording.path, removeError)) {
            ++outcome.deleted;
            outcome.lines.push_back("retention: deleted " + recording.path.string() + " (" + why +
                                    ")");
            return true;
        }
        outcome.lines.push_back("retention: cannot delete " + recording.path.string() + ": " +
                                removeError.message());
        return false;
    };

    std::size_t next = 0;
    if (policy.keepDays > 0) {
        const auto limit = now - std::chrono::hours(24) * policy.keepDays;
        for (; next < recordings.size() && recordings[next].written < limit; ++next) {
            remove(recordings[next], "older than " + std::to_string(policy.keepDays) + " days");
        }
    }
    if (policy.minFreeBytes > 0) {
        const std::string why =
            "less than " + std::to_string(policy.minFreeBytes >> 20) + " MB free";
        for (;;) {
            const std::optional<std::uint64_t> free = freeSpace(folder);
            if (!free || *free >= policy.minFreeBytes) {
                break;
            }
            if (next >= recordings.size()) {
                outcome.lines.push_back("retention: " + why +
                                        " and no finished recording left to delete in " + folder);
                break;
            }
            remove(recordings[next++], why);
        }
    }
    return outcome;
}

}  // namespace app
