#include "tests/db/stop_cancel_support.h"

#include <gtest/gtest.h>

#include <chrono>

#include "db/command_queue.h"
#include "db/db_worker.h"

namespace dbtest {

std::function<void(const std::string&)> LogRecord::Sink() {
    return [this](const std::string& line) {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(line);
    };
}

bool LogRecord::Contains(std::string_view piece) const {
    std::lock_guard lock(m_mutex);
    for (const auto& line : m_lines) {
        if (line.find(piece) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool LogRecord::StopCancelled() const {
    return Contains("did not answer within the stop's wait");
}

void ExpectStopCancelsAndKeeps(CDbWorker& worker, const CMyCommandQueue& queue,
                               const LogRecord& log) {
    // Far above what the cancel needs, far below the minutes the worker was
    // told to wait: it says "did not hang", not how fast.
    constexpr auto kHung = std::chrono::seconds(30);
    const auto started = std::chrono::steady_clock::now();
    worker.Stop(500);
    EXPECT_LT(std::chrono::steady_clock::now() - started, kHung);
    EXPECT_TRUE(log.StopCancelled());
    EXPECT_EQ(queue.Pending(), 1u) << "the statement waits for the next start";
    EXPECT_EQ(worker.Counters().rejected, 0u);
}

}  // namespace dbtest
