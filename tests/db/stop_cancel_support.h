#pragma once
// What the stop-and-cancel tests share: a listening socket on the loopback
// interface for the peers they stand up, and a record of what the worker
// logged, which tells whether a stop had to cancel the call in flight.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class CDbWorker;
class CMyCommandQueue;

namespace dbtest {

// A socket listening on 127.0.0.1 at a port the system chose; throws when it
// cannot be had.
struct LoopbackListener {
    int fd = -1;
    int port = 0;
};
LoopbackListener ListenOnLoopback(int backlog);

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

// Stops a worker stuck in a call with a short wait, then checks that the stop
// did not hang, cancelled the call, and left its statement queued for the
// next start (neither counted as refused nor lost). `log` records the
// worker's log.
void ExpectStopCancelsAndKeeps(CDbWorker& worker, const CMyCommandQueue& queue,
                               const LogRecord& log);

}  // namespace dbtest
