#pragma once
// What a statement, or a group of them in one transaction, came to on the
// database: the outcomes the worker tells apart.

#include <cstddef>
#include <cstdint>
#include <string>

namespace db {

// What became of one statement (or of a transaction step). The worker acts on
// this.
enum class ExecStatus {
    Applied,         // ran and changed at least one row
    NoRows,          // ran and changed nothing (e.g. its id had been applied before)
    Rejected,        // refused on a good connection: bad data, unknown procedure, ...
    Transient,       // refused for now on a good connection (busy, lock time-out); retry
    ConnectionLost,  // the connection is gone; the outcome is unknown; reopen and retry
};

struct ExecResult {
    ExecStatus status = ExecStatus::ConnectionLost;
    std::int64_t rows = 0;  // rows changed, where the backend can tell
    std::string error;      // empty unless the statement did not run
    // Transient because the database's disk is full: an operator must free
    // space, waiting alone will not do.
    bool diskFull = false;
    // Transient because the statement ran past the database's time-out (or
    // was cancelled by it): the statement itself may be to blame.
    bool timedOut = false;

    bool applied() const { return status == ExecStatus::Applied; }
    bool ran() const { return status == ExecStatus::Applied || status == ExecStatus::NoRows; }
};

// What became of a group of statements run in one transaction.
struct GroupResult {
    // failedAt when no single statement is to blame: the transaction could
    // not begin or commit, or the connection was lost.
    static constexpr std::size_t kTransaction = static_cast<std::size_t>(-1);

    // Applied: committed, every statement ran (applied or no rows). Otherwise
    // nothing of the group was committed and this says why.
    ExecResult result;
    // The statement whose failure ended the group, or kTransaction.
    std::size_t failedAt = kTransaction;
    // Of a committed group: how many statements changed rows (the others had
    // been applied before, under the same id).
    std::size_t applied = 0;

    bool committed() const { return result.status == ExecStatus::Applied; }
};

}  // namespace db
