#pragma once
// The service's log lines (one per start, stop and failed start), with the
// connection string's password masked.

#include <cstdint>
#include <string>
#include <string_view>

#include "db/worker_counters.h"

namespace app {

struct StartInfo {
    std::string connectString;
    std::string centerAddress;
    int tcpPort = 0;
    int udpPort = 0;
    std::string user;
};

struct StopCounters {
    db::WorkerCounters counted;  // this run's only
    // With the statement journal: how many statements wait in it for the
    // next start (shown as waiting=N).
    bool journal = false;
    std::uint64_t waiting = 0;
};

std::string StartedLine(const StartInfo& info);
std::string StoppedLine(const StopCounters& counters);
// `reason` is the operator's message; `detail`, when given, says why.
std::string StartFailedLine(std::string_view reason, std::string_view detail = {});

}  // namespace app
