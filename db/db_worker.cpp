#include "db/db_worker.h"

#include <algorithm>
#include <exception>

namespace {
constexpr std::uint32_t kDestructorStopMs = 10000;
}

CDbWorker::CDbWorker(CMyCommandQueue& queue, CMyDbConnection& connection,
                     std::string connectionString, db::WorkerOptions options)
    : m_queue(queue),
      m_db(connection),
      m_strConnect(std::move(connectionString)),
      m_options(options) {}

CDbWorker::~CDbWorker() {
    Stop(kDestructorStopMs);
}

void CDbWorker::SetConnectionString(std::string connectionString) {
    m_strConnect = std::move(connectionString);
}

db::WorkerCounters CDbWorker::Counters() const {
    db::WorkerCounters c;
    c.queued = m_queue.PushedCount();
    c.executed = m_executed.load(std::memory_order_relaxed);
    c.rejected = m_rejected.load(std::memory_order_relaxed);
    c.dropped = m_queue.DroppedCount();
    c.retried = m_retried.load(std::memory_order_relaxed);
    c.discarded = m_queue.DiscardedCount();
    c.pending = m_queue.Size();
    return c;
}

std::string CDbWorker::LastError() const {
    std::lock_guard lock(m_errorMutex);
    return m_lastError;
}

void CDbWorker::Note(const std::string& message) {
    {
        std::lock_guard lock(m_errorMutex);
        m_lastError = message;
    }
    if (m_logSink) {
        try {
            m_logSink(message);
        } catch (...) {
        }
    }
}

void CDbWorker::Backoff(std::chrono::milliseconds& backoff) {
    const auto ms = std::max<std::chrono::milliseconds::rep>(backoff.count(), 0);
    if (SleepWhileRunning(static_cast<std::uint32_t>(std::min<decltype(ms)>(ms, UINT32_MAX)))) {
        m_retried.fetch_add(1, std::memory_order_relaxed);
    }
    backoff = std::min(backoff * 2, std::max(m_options.maxBackoff, m_options.firstBackoff));
}

void CDbWorker::OnStopRequested() {
    m_queue.WakeAll();
}

int CDbWorker::Run() {
    db::SqlCommand command;
    bool inHand = false;
    auto backoff = m_options.firstBackoff;
    while (m_bRun.load()) {
        if (!inHand) {
            if (!m_queue.WaitPop(command, m_bRun)) {
                continue;
            }
            inHand = true;
        }
        if (!m_db.Open(m_strConnect, m_options.openTimeoutSeconds)) {
            Note("cannot open the database: " + m_db.LastError());
            Backoff(backoff);
            continue;
        }
        const db::ExecResult result = m_db.ExecuteCommand(command);
        switch (result.status) {
            case db::ExecStatus::Applied:
            case db::ExecStatus::NoRows:
                m_executed.fetch_add(1, std::memory_order_relaxed);
                inHand = false;
                backoff = m_options.firstBackoff;
                break;
            case db::ExecStatus::Rejected:
                m_rejected.fetch_add(1, std::memory_order_relaxed);
                Note("statement rejected: " + result.error + ": " + command.text());
                inHand = false;
                backoff = m_options.firstBackoff;
                break;
            case db::ExecStatus::Transient:
                Note("database busy, retrying: " + result.error);
                Backoff(backoff);
                break;
            case db::ExecStatus::ConnectionLost:
                m_db.Close();
                Note("database connection lost, retrying: " + result.error);
                Backoff(backoff);
                break;
        }
    }
    if (inHand) {
        // Not run: back to the front, where the stop's Clear() counts it.
        m_queue.PushFront(std::move(command));
    }
    return 0;
}
