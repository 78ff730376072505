#pragma once
// What the service is doing, as one line of text: under the window's device
// list, in the log every few minutes, on SIGUSR1, and in systemd's STATUS=.

#include <cstdint>
#include <string>
#include <string_view>

namespace app {

struct ServiceStatus {
    bool started = false;
    int centerState = 0;       // CENTER_* of the device library
    std::string centerReason;  // why the last attempt failed
    std::string user;
    std::size_t devicesOnline = 0;
    // Unix seconds since when the database cannot be reached; 0 while it can.
    std::int64_t databaseDownSince = 0;
    // The database refuses statements because its disk is full.
    bool databaseDiskFull = false;
    std::uint64_t waiting = 0;   // statements not yet committed
    std::uint64_t stored = 0;    // committed since the start
    std::uint64_t dropped = 0;   // rejected or dropped past the queue's bound since the start
    std::uint64_t setAside = 0;  // kept in the dead-letter file since the start
    std::size_t recordings = 0;
    // Recordings that got no media at all (their files removed).
    std::uint64_t emptyRecordings = 0;
    // A setting that works, but not as the operator may think (shown last).
    std::string warning;
};

// "center: logged in as root with 3 devices; database: connected; stored 120,
// dropped 0; recordings: 1", in the current language; ", empty recordings: N"
// follows once a recording got no media.
std::string StatusLine(const ServiceStatus& status);

// "2026-12-08 16:49:52" in local time.
std::string LocalTimeText(std::int64_t unixSeconds);

// Line breaks (and the blanks around them) become one blank, so that a
// driver's message of several lines stays one log line.
std::string OneLine(std::string_view text);

// The latest status line, for a signal thread that must answer at once.
// Any thread.
void PublishStatusLine(std::string line);
std::string LatestStatusLine();

}  // namespace app
