#pragma once
// CDbWorker, the thread that takes statements off the queue and runs them on
// the connection, with its options (retries, group commit) and counters.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "db/command_queue.h"
#include "db/db_connection.h"
#include "db/my_thread.h"
#include "db/worker_counters.h"

namespace db {

inline constexpr std::size_t kDefaultGroupSize = 512;
inline constexpr std::size_t kMaxGroupSize = 65536;

struct WorkerOptions {
    int openTimeoutSeconds = 15;                   // each reopen in the worker
    std::chrono::milliseconds firstBackoff{1000};  // first wait before a retry
    std::chrono::milliseconds maxBackoff{15000};   // the wait doubles up to this
    // When several statements wait, up to groupSize of them run in one
    // transaction (0 counts as 1, more than kMaxGroupSize as kMaxGroupSize).
    // Off: one commit per statement, for sites whose own procedures must not
    // share a transaction.
    bool groupCommit = true;
    // ODBC connection strings reach a site's own procedures, which may not
    // expect to share a transaction: they are grouped only when this is set
    // too (Config.ini: only when EventServer_GroupCommit=1 says so).
    bool groupCommitOdbc = true;
    std::size_t groupSize = kDefaultGroupSize;
    // A statement the database times out on this many times in a row, with
    // the same error, is set aside (see CDbWorker::SetDeadLetterSink) so the
    // statements after it go on; 0 never sets one aside.
    std::size_t statementAttempts = 5;
    // How often the worker checks that a database file (SQLite) is still
    // the one its path names; statements committed since the last check
    // stay queued (and in the journal) until one passes.
    std::chrono::milliseconds fileCheckEvery{2000};
    // gps_fixes upkeep (our schemas): partitions made ahead and fixes older
    // than this many days removed, at the first statement after each open
    // and then every upkeepEvery while statements flow. 0 keeps every fix.
    int fixRetentionDays = 0;
    std::chrono::minutes upkeepEvery{60};
};

// Reads the two settings of grouping, as text from Config.ini:
//   groupCommit  1/0, on/off, true/false, yes/no (any case); empty: on for
//                our SQLite and PostgreSQL schemas, off for ODBC connection
//                strings (groupCommitOdbc is set only by an explicit on)
//   groupSize    1 to kMaxGroupSize (more is cut to it); empty: 512
// into `options`. Text that says neither leaves the default and returns a
// warning naming the key; otherwise the warning is empty.
std::string ApplyGroupSettings(std::string_view groupCommit, std::string_view groupSize,
                               WorkerOptions& options);

// Reads EventServer_StatementAttempts (0 to 1000; empty: 5) into `options`;
// text that is not such a number keeps 5 and returns a warning naming the key.
std::string ApplyStatementAttempts(std::string_view attempts, WorkerOptions& options);

}  // namespace db

// The database worker: takes statements off the queue in order and executes
// them on the connection.
//   - When one statement waits it runs alone and commits at once. When more
//     wait, up to groupSize of them run in one transaction, each statement by
//     itself, and commit together; a statement leaves the queue only once its
//     transaction has committed (or it was dropped as rejected).
//   - A statement whose connection cannot be opened, or whose connection broke
//     under it, or that the database could not take for now, stays in hand and
//     is retried after a back-off (1 s doubling to 15 s) while the worker runs.
//     Its id makes the retry harmless when the first attempt did land.
//   - Over a database file (SQLite), statements committed since the last
//     check that the path still names the open file stay in flight (not
//     done in the journal). A check every fileCheckEvery, and whenever the
//     worker runs out of statements, settles them; a file found deleted or
//     replaced is logged and opened again by its path (with its schema), and
//     they run again there.
//   - A statement the database rejects on a good connection is dropped and
//     counted; the worker goes on with the next one. In a group, the
//     statements before it run again as a group of their own, then the rest:
//     the others are applied as if it had never been queued. A group whose
//     commit is refused without a culprit runs again one statement at a time.
// The window thread opens the connection before Start and closes it after
// Stop, which joins the worker: while the worker runs, it alone uses the
// connection. A stop request ends the wait for statements and any back-off at
// once; a statement in hand that has not run is put back at the queue's front,
// where the service stop's Clear() discards and counts it (or, with the
// journal, keeps it for the next start). A call stuck past the stop's wait (a
// dead network, a lock) is cancelled; its statement is put back the same way.
class CDbWorker : public CMyThread {
public:
    CDbWorker(CMyCommandQueue& queue, CMyDbConnection& connection,
              std::string connectionString = {}, db::WorkerOptions options = {});
    ~CDbWorker() override;

    // Window thread, while the worker is stopped.
    void SetConnectionString(std::string connectionString);
    const std::string& ConnectionString() const { return m_strConnect; }
    void SetOptions(const db::WorkerOptions& options) { m_options = options; }
    const db::WorkerOptions& Options() const { return m_options; }
    // Called on the worker thread for each rejected statement and each failed
    // (re)open or lost connection; set while the worker is stopped.
    void SetLogSink(std::function<void(const std::string&)> sink) { m_logSink = std::move(sink); }
    // Called on the worker thread for each statement that leaves the queue:
    // committed (true) or rejected (false). Set while the worker is stopped.
    using OutcomeSink = std::function<void(const db::SqlCommand&, bool committed)>;
    void SetOutcomeSink(OutcomeSink sink) { m_outcomeSink = std::move(sink); }
    // Keeps a statement set aside, with its error, where it can be replayed
    // from; true once it is durably kept. Called on the worker thread; set
    // while the worker is stopped. Without one nothing is set aside.
    using DeadLetterSink =
        std::function<bool(const db::SqlCommand&, const std::string& error, std::string& why)>;
    void SetDeadLetterSink(DeadLetterSink sink) { m_deadLetterSink = std::move(sink); }

    // Past its time-out, cancels the database call in flight (the statement
    // stays queued); the connection can be opened again once Stop returns.
    void Stop(std::uint32_t timeoutMs) override;

    db::WorkerCounters Counters() const;
    // The last error the worker met (rejection, failed open, lost connection).
    std::string LastError() const;
    // Unix seconds since when the database cannot be reached (the first
    // failed open or lost connection of an outage); 0 while it can. Any
    // thread.
    std::int64_t DownSince() const { return m_downSince.load(std::memory_order_relaxed); }
    // The database refused the last try because its disk is full. Any thread.
    bool DiskFull() const { return m_diskFull.load(std::memory_order_relaxed); }

protected:
    void Run() override;
    void OnStopRequested() override;
    void OnStopOverran() override;

private:
    enum class Step { Done, Retry };

    // Whether the statement just failed with `result` has now failed the
    // same way often enough to be set aside.
    bool Poisoned(const db::SqlCommand& statement, const db::ExecResult& result);
    bool SetAside(std::vector<db::SqlCommand>& hand, std::size_t at, const db::ExecResult& result);

    // Logs; an error also becomes LastError().
    void Note(const std::string& message, bool isError = true);
    void MarkDown();
    void Backoff(std::chrono::milliseconds& backoff);
    std::size_t GroupLimit() const;
    void Finished(std::vector<db::SqlCommand>& hand, std::size_t first, std::size_t count,
                  bool committed);
    void Committed(std::vector<db::SqlCommand>& hand, std::size_t count);
    bool FileCheckDue(const std::vector<db::SqlCommand>& hand) const;
    void CheckFile(std::vector<db::SqlCommand>& hand);
    void SettleChecked();
    void RunAgain(std::vector<db::SqlCommand>& hand);
    Step Retry(const db::ExecResult& result);
    Step RunAlone(std::vector<db::SqlCommand>& hand);
    Step RunGroup(std::vector<db::SqlCommand>& hand, std::size_t count);
    void KeepFixesIfDue();
    void NoteOpenNotice();

    CMyCommandQueue& m_queue;
    CMyDbConnection& m_db;
    std::string m_strConnect;
    db::WorkerOptions m_options;
    std::function<void(const std::string&)> m_logSink;
    OutcomeSink m_outcomeSink;
    DeadLetterSink m_deadLetterSink;

    // Worker thread only: how the next passes take the statements in hand.
    std::size_t m_nextGroup = 0;  // run exactly this many together next (0: as many as allowed)
    std::size_t m_soloLeft = 0;   // run this many alone (a group whose commit was refused)
    // The statement that last timed out, how, and how many times in a row.
    db::StatementId m_suspect;
    std::string m_suspectError;
    std::size_t m_suspectAttempts = 0;
    // Committed into a database file since its last check, oldest first: the
    // first of those in flight, before the statements in hand.
    std::vector<db::SqlCommand> m_unchecked;
    std::chrono::steady_clock::time_point m_nextFileCheck;
    std::chrono::steady_clock::time_point m_nextUpkeep{};  // worker thread only
    bool m_upkeepDue = true;                               // after each open; old rows remain
    std::string m_notedOpenNotice;                         // worker thread only

    std::atomic<std::uint64_t> m_executed{0};
    std::atomic<std::uint64_t> m_rejected{0};
    std::atomic<std::uint64_t> m_retried{0};
    std::atomic<std::uint64_t> m_commits{0};
    std::atomic<std::uint64_t> m_setAside{0};
    std::atomic<std::int64_t> m_downSince{0};
    std::atomic<bool> m_diskFull{false};
    mutable std::mutex m_errorMutex;
    std::string m_lastError;  // guarded by m_errorMutex
};
