#pragma once
// What the stop-and-cancel tests share: a record of what the worker logged,
// which tells whether a stop had to cancel the call in flight, and the stop
// with its checks.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class CDbWorker;
class CMyCommandQueue;

namespace dbtest {

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
