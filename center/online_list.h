#pragma once
// The terminals online, as the running center sees them, in a file of its
// data folder that it replaces when someone opens it (center/
// file_open_watch.h) and once a minute: `vardo-center --data DIR --list`
// prints it, from another process and another user (an admin in the
// service's group), without a port or a socket of its own to guard.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "center/device_feed.h"

namespace center {

inline constexpr char kOnlineListFile[] = "terminals-online";
// The least time between two lists written because the file was opened:
// a list this young is fresh enough for --list, which waits for a new one
// only when the one it opened is older.
inline constexpr std::chrono::seconds kOnlineListPeriod{2};
// The list is written at least this often while nobody opens it, so that
// its age tells a running center's list from one a crashed center left.
// Writing it reads every session from memory no cache still holds, a
// microsecond or two a terminal: every 6 s, as it was written at 10,000
// terminals, a seventh of what they cost the center reporting every 10 s,
// and at 100,000 a pause of the io thread of about 0.2 s each time.
inline constexpr std::chrono::seconds kOnlineListRefresh{60};
// How long --list waits for the list its open asked for.
inline constexpr std::chrono::seconds kOnlineListWait{3};

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
