#pragma once
// What an admin watches of the center: the counts of one moment as a status
// line (in the log every few minutes and on SIGUSR1) and as Prometheus
// metrics, the same numbers in both.

#include <cstdint>
#include <string>

namespace center {

struct CenterCounts {
    std::size_t terminalsConnected = 0;
    std::size_t terminalsAuthenticated = 0;
    std::size_t mediaStreams = 0;
    std::size_t eventServers = 0;  // logged in
    std::uint64_t reports = 0;     // location reports since the start
    // Reports with the position and second of one already numbered (sent
    // again, mostly): answered with that one's event, not stored twice.
    std::uint64_t reportsRepeated = 0;
    std::uint64_t refusedConnections = 0;
    std::uint64_t mediaRequests = 0;  // 0x9101 sent
    std::uint64_t mediaFrames = 0;    // relayed to event servers
    // Events kept until every event server has acknowledged them, and those
    // given up past the bound.
    std::size_t eventsUnacknowledged = 0;
    std::uint64_t eventsDropped = 0;
    bool journalOn = false;
    std::uint64_t journalBytes = 0;        // on disk
    bool journalFull = false;              // reports are refused until room is made
    std::uint64_t reportsRefusedFull = 0;  // answered with a failure while full
};

// "terminals: 12 connected, 10 authenticated; media streams: 1; event
// servers: 2; reports 3400, media frames 810, refused connections 0,
// reports repeated 3; events unacknowledged 14, dropped 0; journal 2.5 MiB,
// reports refused while full 0"
std::string CenterStatusLine(const CenterCounts& counts);

std::string CenterMetricsText(const CenterCounts& counts);

}  // namespace center
