#pragma once
// An optional metrics endpoint in the Prometheus text format, on 127.0.0.1
// only: the counters of the database work, the queue depth, the devices
// online, the running recordings and the time since the last commit. The
// window thread publishes a snapshot every second; the HTTP thread only
// reads the latest one.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "db/worker_counters.h"
#include "metrics/http_endpoint.h"

namespace app {

struct MetricsSnapshot {
    bool started = false;
    bool centerLoggedIn = false;
    bool databaseUp = true;
    db::WorkerCounters counters;  // since the program started; pending is the queue depth
    std::size_t devicesOnline = 0;
    std::size_t recordings = 0;
    std::uint64_t emptyRecordings = 0;
    // Seconds since the last commit; unset before the first one.
    std::optional<double> secondsSinceCommit;
};

std::string MetricsText(const MetricsSnapshot& snapshot);

// EventServer_MetricsPort: empty or 0 is off; a port otherwise. Text that is
// no port turns it off and sets `warning`.
int ParseMetricsPort(std::string_view text, std::string& warning);

// The snapshot rendered as text on the window thread, served by the
// endpoint's own thread.
class MetricsServer {
public:
    // Listens on 127.0.0.1:port (0: any free port) and serves GET /metrics
    // on a thread of its own. False with `problem` set when it cannot.
    bool Start(int port, std::string& problem);
    void Stop();
    int Port() const { return endpoint_.Port(); }

    // Any thread.
    void Publish(const MetricsSnapshot& snapshot);

private:
    metrics::HttpEndpoint endpoint_;
};

}  // namespace app
