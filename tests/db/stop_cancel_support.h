#pragma once
// What the stop-and-cancel tests share: a listening socket on the loopback
// interface for the peers they stand up, and a record of what the worker
// logged, which tells whether a stop had to cancel the call in flight.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace dbtest {

// A socket listening on 127.0.0.1 at a port the system chose; throws when it
// cannot be had.
struct LoopbackListener {
    int fd = -1;
    int port = 0;
};
LoopbackListener ListenOnLoopback(int backlog);

// The stop's bound in these tests: far above what the cancel needs, far below
// the minutes the worker was told to wait. It says "did not hang", not how fast.
inline constexpr std::chrono::seconds kStopHung{30};

// Collects a worker's log lines; the sink may be called from any thread.
class LogRecord {
public:
    std::function<void(const std::string&)> Sink();
    bool Contains(std::string_view piece) const;
    // True when a stop waited past its time-out and cancelled the call.
    bool StopCancelled() const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

}  // namespace dbtest
