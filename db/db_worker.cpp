#include "db/db_worker.h"

#include <pthread.h>

#include <algorithm>
#include <charconv>
#include <exception>
#include <iterator>
#include <span>

#include "db/backend.h"
#include "text/ascii.h"

namespace {
constexpr std::uint32_t kDestructorStopMs = 10000;

}  // namespace

namespace db {

std::string ApplyGroupSettings(std::string_view groupCommit, std::string_view groupSize,
                               WorkerOptions& options) {
    std::string warning;
    options.groupCommit = true;
    options.groupCommitOdbc = false;
    options.groupSize = kDefaultGroupSize;
    const std::string on = text::AsciiLower(text::TrimAscii(groupCommit));
    if (on == "0" || on == "off" || on == "false" || on == "no") {
        options.groupCommit = false;
    } else if (on == "1" || on == "on" || on == "true" || on == "yes") {
        options.groupCommitOdbc = true;
    } else if (!on.empty()) {
        warning = "EventServer_GroupCommit: '" + std::string(groupCommit) +
                  "' is neither 1 nor 0; statements are grouped";
    }
    const std::string_view size = text::TrimAscii(groupSize);
    if (!size.empty()) {
        unsigned long long n = 0;
        const auto [end, ec] = std::from_chars(size.data(), size.data() + size.size(), n);
        if (ec == std::errc::result_out_of_range ||
            (ec == std::errc() && end == size.data() + size.size() && n > kMaxGroupSize)) {
            options.groupSize = kMaxGroupSize;
        } else if (ec == std::errc() && end == size.data() + size.size() && n >= 1) {
            options.groupSize = static_cast<std::size_t>(n);
        } else {
            if (!warning.empty()) {
                warning += "; ";
            }
            warning += "EventServer_GroupSize: '" + std::string(groupSize) +
                       "' is not a number from 1 to " + std::to_string(kMaxGroupSize) +
                       "; groups of up to " + std::to_string(kDefaultGroupSize);
        }
    }
    return warning;
}

std::string ApplyStatementAttempts(std::string_view attempts, WorkerOptions& options) {
    constexpr std::size_t kDefault = 5;
    constexpr unsigned kMost = 1000;
    options.statementAttempts = kDefault;
    const std::string_view text = text::TrimAscii(attempts);
    if (text.empty()) {
        return {};
    }
    unsigned n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n > kMost) {
        return "EventServer_StatementAttempts: '" + std::string(attempts) +
               "' is not a number from 0 to " + std::to_string(kMost) + "; " +
               std::to_string(kDefault) + " attempts";
    }
    options.statementAttempts = n;
    return {};
}

}  // namespace db

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
    c.pending = m_queue.Pending();
    c.commits = m_commits.load(std::memory_order_relaxed);
    c.setAside = m_setAside.load(std::memory_order_relaxed);
    c.kept = m_queue.KeptCount();
    c.replayed = m_queue.ReplayedCount();
    c.spilled = m_queue.SpilledCount();
    return c;
}

std::string CDbWorker::LastError() const {
    std::lock_guard lock(m_errorMutex);
    return m_lastError;
}

void CDbWorker::Note(const std::string& message, bool isError) {
    if (isError) {
        std::lock_guard lock(m_errorMutex);
        m_lastError = message;
    }
    if (m_logSink) {
        try {
            m_logSink(message);
        } catch (...) {
            // A log that throws has nowhere left to report to; the message
            // stays readable through LastError, and the worker goes on.
        }
    }
}

// Once, not at every reconnect: the same database says the same.
void CDbWorker::NoteOpenNotice() {
    const std::string& notice = m_db.OpenNotice();
    if (!notice.empty() && notice != m_notedOpenNotice) {
        m_notedOpenNotice = notice;
        Note(notice, false);
    }
}

void CDbWorker::MarkDown() {
    if (m_downSince.load(std::memory_order_relaxed) == 0) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        m_downSince.store(std::max<std::int64_t>(
                              1, std::chrono::duration_cast<std::chrono::seconds>(now).count()),
                          std::memory_order_relaxed);
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

void CDbWorker::OnStopOverran() {
    Note("the database did not answer within the stop's wait; cancelling the call in flight");
    m_db.Cancel();
}

void CDbWorker::Stop(std::uint32_t timeoutMs) {
    CMyThread::Stop(timeoutMs);
    if (!HasThread()) {
        m_db.ResetCancel();
    }
}

std::size_t CDbWorker::GroupLimit() const {
    if (!m_options.groupCommit ||
        (!m_options.groupCommitOdbc &&
         db::ClassifyConnectionString(m_strConnect) == db::BackendKind::Odbc)) {
        return 1;
    }
    return std::clamp<std::size_t>(m_options.groupSize, 1, db::kMaxGroupSize);
}

// hand[first, first + count) have left the queue for good.
void CDbWorker::Finished(std::vector<db::SqlCommand>& hand, std::size_t first, std::size_t count,
                         bool committed) {
    if (m_outcomeSink) {
        for (std::size_t i = first; i < first + count; ++i) {
            try {
                m_outcomeSink(hand[i], committed);
            } catch (const std::exception& e) {
                Note(std::string("the statement outcome handler failed: ") + e.what());
            } catch (...) {
                Note("the statement outcome handler failed");
            }
        }
    }
    const auto begin = hand.begin() + static_cast<std::ptrdiff_t>(first);
    hand.erase(begin, begin + static_cast<std::ptrdiff_t>(count));
    m_queue.Settle(m_unchecked.size() + first, count);
}

// The first `count` in hand were committed. Into a database file they are
// not done before a check finds the path still naming that file.
void CDbWorker::Committed(std::vector<db::SqlCommand>& hand, std::size_t count) {
    m_commits.fetch_add(1, std::memory_order_relaxed);
    if (!m_db.WatchesFile()) {
        m_executed.fetch_add(count, std::memory_order_relaxed);
        Finished(hand, 0, count, true);
        return;
    }
    const auto end = hand.begin() + static_cast<std::ptrdiff_t>(count);
    m_unchecked.insert(m_unchecked.end(), std::make_move_iterator(hand.begin()),
                       std::make_move_iterator(end));
    hand.erase(hand.begin(), end);
}

bool CDbWorker::FileCheckDue(const std::vector<db::SqlCommand>& hand) const {
    if (!m_db.IsOpen()) {
        return !m_unchecked.empty();  // closed under them: they cannot be checked
    }
    if (!m_db.WatchesFile()) {
        return false;
    }
    return std::chrono::steady_clock::now() >= m_nextFileCheck ||
           (!m_unchecked.empty() && hand.empty() && m_queue.Size() == 0);
}

void CDbWorker::SettleChecked() {
    const std::size_t n = m_unchecked.size();
    if (n == 0) {
        return;
    }
    m_executed.fetch_add(n, std::memory_order_relaxed);
    std::vector<db::SqlCommand> checked;
    checked.swap(m_unchecked);
    Finished(checked, 0, n, true);
}

// Statements committed where nobody will read them go back to the front of
// the hand; their ids make a second run harmless where the first did land.
void CDbWorker::RunAgain(std::vector<db::SqlCommand>& hand) {
    hand.insert(hand.begin(), std::make_move_iterator(m_unchecked.begin()),
                std::make_move_iterator(m_unchecked.end()));
    m_unchecked.clear();
}

void CDbWorker::CheckFile(std::vector<db::SqlCommand>& hand) {
    m_nextFileCheck = std::chrono::steady_clock::now() + m_options.fileCheckEvery;
    if (m_db.IsOpen()) {
        const std::string replaced = m_db.FileReplaced();
        if (replaced.empty()) {
            SettleChecked();
            return;
        }
        Note("database file " + replaced + " while in use; opening it again" +
             (m_unchecked.empty() ? std::string()
                                  : " and storing again the " + std::to_string(m_unchecked.size()) +
                                        " statements committed since the last check"));
        m_db.Close();
        if (m_db.Open(m_strConnect, m_options.openTimeoutSeconds)) {
            Note("database file opened again: " + m_strConnect);
        } else {
            Note("cannot open the database: " + m_db.LastError());
            MarkDown();
        }
    }
    RunAgain(hand);
}

bool CDbWorker::Poisoned(const db::SqlCommand& statement, const db::ExecResult& result) {
    if (!result.timedOut || !m_deadLetterSink || m_options.statementAttempts == 0) {
        return false;
    }
    if (statement.id() == m_suspect && result.error == m_suspectError) {
        ++m_suspectAttempts;
    } else {
        m_suspect = statement.id();
        m_suspectError = result.error;
        m_suspectAttempts = 1;
    }
    return m_suspectAttempts >= m_options.statementAttempts;
}

// hand[at] failed the same way statementAttempts times: it goes to the
// dead-letter file and leaves the queue, so that the statements after it are
// not held up by it. False when it could not be kept (it stays then).
bool CDbWorker::SetAside(std::vector<db::SqlCommand>& hand, std::size_t at,
                         const db::ExecResult& result) {
    std::string why;
    bool kept = false;
    try {
        kept = m_deadLetterSink(hand[at], result.error, why);
    } catch (const std::exception& e) {
        why = e.what();
    }
    if (!kept) {
        Note("cannot set aside a statement the database keeps timing out on (" + why +
             "); it stays first in the queue: " + hand[at].text());
        return false;
    }
    m_setAside.fetch_add(1, std::memory_order_relaxed);
    Note("statement SET ASIDE after " + std::to_string(m_suspectAttempts) +
         " attempts that failed the same way (" + result.error +
         "); kept in the dead-letter file, replay with --replay-dead-letters: " + hand[at].text());
    m_suspect = {};
    m_suspectError.clear();
    m_suspectAttempts = 0;
    Finished(hand, at, 1, false);
    return true;
}

// A failure the statements are not to blame for: they stay at the head of
// the queue and run again after the wait.
CDbWorker::Step CDbWorker::Retry(const db::ExecResult& result) {
    if (result.status == db::ExecStatus::ConnectionLost) {
        m_db.Close();
        Note("database connection lost, retrying: " + result.error);
        MarkDown();
    } else if (result.diskFull) {
        m_diskFull.store(true, std::memory_order_relaxed);
        Note("database disk full, retrying until space is freed: " + result.error);
    } else {
        Note("database busy, retrying: " + result.error);
    }
    return Step::Retry;
}

CDbWorker::Step CDbWorker::RunAlone(std::vector<db::SqlCommand>& hand) {
    const db::ExecResult result = m_db.ExecuteCommand(hand.front());
    switch (result.status) {
        case db::ExecStatus::Applied:
        case db::ExecStatus::NoRows:
            Committed(hand, 1);
            return Step::Done;
        case db::ExecStatus::Rejected:
            m_rejected.fetch_add(1, std::memory_order_relaxed);
            Note("statement rejected: " + result.error + ": " + hand.front().text());
            Finished(hand, 0, 1, false);
            return Step::Done;
        case db::ExecStatus::Transient:
            if (Poisoned(hand.front(), result) && SetAside(hand, 0, result)) {
                return Step::Done;
            }
            break;
        case db::ExecStatus::ConnectionLost:
            break;
    }
    return Retry(result);
}

CDbWorker::Step CDbWorker::RunGroup(std::vector<db::SqlCommand>& hand, std::size_t count) {
    const db::GroupResult group =
        m_db.ExecuteGroup(std::span<const db::SqlCommand>(hand.data(), count));
    const db::ExecResult& result = group.result;
    switch (result.status) {
        case db::ExecStatus::Applied:
        case db::ExecStatus::NoRows:
            Committed(hand, count);
            return Step::Done;
        case db::ExecStatus::Rejected:
            if (group.failedAt < count) {
                // Nothing of the group was kept. The statements before the
                // culprit ran well in that order: they go next, as a group
                // of their own; then the rest.
                const std::size_t k = group.failedAt;
                m_rejected.fetch_add(1, std::memory_order_relaxed);
                Note("statement rejected: " + result.error + ": " + hand[k].text());
                Finished(hand, k, 1, false);
                m_nextGroup = k;
            } else {
                Note(
                    "a group of " + std::to_string(count) +
                    " statements was refused as a whole, running them one by one: " + result.error);
                m_soloLeft = count;
            }
            return Step::Done;
        case db::ExecStatus::Transient:
            if (group.failedAt < count && Poisoned(hand[group.failedAt], result)) {
                const std::size_t k = group.failedAt;
                if (SetAside(hand, k, result)) {
                    m_nextGroup = k;  // as after a rejection
                    return Step::Done;
                }
            }
            break;
        case db::ExecStatus::ConnectionLost:
            break;
    }
    return Retry(result);
}

// Between statements: a failure here costs no statement, so it is logged and
// tried again at the next round, never retried in a loop.
void CDbWorker::KeepFixesIfDue() {
    const auto now = std::chrono::steady_clock::now();
    if (!m_upkeepDue && now < m_nextUpkeep) {
        return;
    }
    db::FixUpkeep upkeep;
    upkeep.retentionDays = m_options.fixRetentionDays;
    const db::FixUpkeepResult done = m_db.KeepFixes(upkeep);
    m_upkeepDue = done.more && done.result.ran();
    m_nextUpkeep = now + m_options.upkeepEvery;
    if (!done.result.ran()) {
        // An older PostgreSQL schema without partitions has no upkeep to
        // run; that matters only where fixes are to be removed.
        if (m_options.fixRetentionDays > 0 ||
            done.result.status == db::ExecStatus::ConnectionLost) {
            Note("the upkeep of gps_fixes failed (is the current db/schema installed?): " +
                 done.result.error);
        }
        if (done.result.status == db::ExecStatus::ConnectionLost) {
            m_db.Close();
        }
        return;
    }
    if (done.partitionsDropped + done.rowsDeleted > 0) {
        Note("gps_fixes: removed " + std::to_string(done.partitionsDropped) +
                 " days' partitions and " + std::to_string(done.rowsDeleted) +
                 " fixes older than " + std::to_string(m_options.fixRetentionDays) + " days",
             /*isError=*/false);
    }
}

void CDbWorker::Run() {
    // Named apart from the window thread, so that a profile or top tells
    // their shares.
    pthread_setname_np(pthread_self(), "vardo-db");
    // Taken from the queue, oldest first, and still pending there until they
    // are committed or dropped.
    std::vector<db::SqlCommand> hand;
    const std::size_t limit = GroupLimit();
    hand.reserve(limit);
    m_nextGroup = 0;
    m_soloLeft = 0;
    m_suspect = {};
    m_suspectError.clear();
    m_suspectAttempts = 0;
    m_unchecked.clear();
    m_nextFileCheck = std::chrono::steady_clock::now() + m_options.fileCheckEvery;
    auto backoff = m_options.firstBackoff;
    while (m_bRun.load()) {
        if (FileCheckDue(hand)) {
            CheckFile(hand);
        }
        if (hand.empty()) {
            const auto until =
                m_db.WatchesFile() ? m_nextFileCheck : std::chrono::steady_clock::time_point::max();
            if (m_queue.WaitTake(hand, limit, m_bRun, until) == 0) {
                continue;
            }
        } else if (hand.size() < limit) {
            m_queue.Take(hand, limit - hand.size());
        }
        if (!m_db.Open(m_strConnect, m_options.openTimeoutSeconds)) {
            Note("cannot open the database: " + m_db.LastError());
            MarkDown();
            Backoff(backoff);
            m_upkeepDue = true;
            continue;
        }
        NoteOpenNotice();
        KeepFixesIfDue();
        if (!m_db.IsOpen()) {
            continue;
        }
        std::size_t count = std::min(hand.size(), m_nextGroup > 0 ? m_nextGroup : limit);
        const bool solo = m_soloLeft > 0;
        if (solo) {
            count = 1;
        }
        // A statement that waits alone commits alone: an idle server keeps
        // its latency.
        const Step step = count == 1 ? RunAlone(hand) : RunGroup(hand, count);
        if (step == Step::Retry) {
            Backoff(backoff);
            continue;
        }
        backoff = m_options.firstBackoff;
        m_downSince.store(0, std::memory_order_relaxed);
        m_diskFull.store(false, std::memory_order_relaxed);
        if (solo) {
            --m_soloLeft;
        }
        if (m_nextGroup >= count) {
            m_nextGroup = 0;  // that group was the one asked for
        }
    }
    if (!m_unchecked.empty()) {
        // The stop does not reopen a file found replaced: what went into it
        // stays queued, for the next start (with the journal) or the count.
        const std::string replaced = m_db.IsOpen() ? m_db.FileReplaced() : std::string();
        if (m_db.IsOpen() && replaced.empty()) {
            SettleChecked();
        } else {
            if (!replaced.empty()) {
                Note("database file " + replaced + " while in use; the " +
                     std::to_string(m_unchecked.size()) +
                     " statements committed since the last check stay queued");
            }
            RunAgain(hand);
        }
    }
    if (!hand.empty()) {
        // Not committed: back to the front, where the stop's Clear() counts them.
        m_queue.PutBack(hand);
    }
}
