#pragma once
// An optional metrics endpoint in the Prometheus text format, on 127.0.0.1
// only: the counters of the database work, the queue depth, the devices
// online, the running recordings and the time since the last commit. The
// window thread publishes a snapshot every second; the HTTP thread only
// reads the latest one.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "db/worker_counters.h"

namespace httplib {
class Server;
}

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

class MetricsServer {
public:
    MetricsServer();
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on 127.0.0.1:port (0: any free port) and serves GET /metrics
    // on a thread of its own. False with `problem` set when it cannot.
    bool Start(int port, std::string& problem);
    void Stop();
    int Port() const { return port_; }

    // Any thread.
    void Publish(const MetricsSnapshot& snapshot);

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    MetricsSnapshot snapshot_;  // guarded by mutex_
};

}  // namespace app
