#pragma once
// The terminals online, as the running center sees them, in a file of its
// data folder that it replaces every few seconds: `vardo-center --data DIR
// --list` prints it, from another process and another user (an admin in
// the service's group), without a port or a socket of its own to guard.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "center/device_feed.h"

namespace center {

inline constexpr char kOnlineListFile[] = "terminals-online";
// How often the running center replaces the file at most; a file much
// older than this belongs to a center that no longer runs.
inline constexpr std::chrono::seconds kOnlineListPeriod{2};
// Writing the list costs a microsecond or two a terminal (each session is
// read from memory no cache still holds): every 6 s, it was a seventh of
// what 10,000 terminals reporting every 10 s cost the center. So the list
// is replaced every 2 s only while terminals come and go (or send their
// first position), and only up to 5,000 online (every 8 s from 15,000);
// when only their last reports moved, every 8 s, still well within the age
// at which --list calls it a stopped center's. A last report is up to its
// terminal's interval old anyway.
inline std::chrono::seconds OnlineListPeriod(std::size_t terminals, bool rosterChanged) {
    if (!rosterChanged) {
        return kOnlineListPeriod * 4;
    }
    return kOnlineListPeriod * static_cast<int>(std::min<std::size_t>(terminals / 5000 + 1, 4));
}

struct OnlineEntry {
    std::string phone;
    std::string address;  // the terminal's "ADDR:PORT"
    std::string plate;
    std::optional<DeviceFeed::LastReport> lastReport;
};

// The file's text: a line saying when and by which process it was written,
// a heading, then one line per terminal.
std::string OnlineListText(const std::vector<OnlineEntry>& terminals,
                           std::chrono::system_clock::time_point now, long pid);

// What --list prints for the center running on `dataDir`: the table, or
// an error that says why there is none (no center runs there, or it
// stopped). True when `out` holds the table.
bool ReadOnlineList(const std::string& dataDir, std::chrono::system_clock::time_point now,
                    std::string& out);

}  // namespace center
