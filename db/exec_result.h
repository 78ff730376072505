#pragma once

#include <cstdint>
#include <string>

namespace db {

// What became of one statement (or of a transaction step). The worker acts on
// this; CMyDbConnection::Execute folds it into a bool.
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

    bool applied() const { return status == ExecStatus::Applied; }
    bool ran() const { return status == ExecStatus::Applied || status == ExecStatus::NoRows; }
};

const char* ToString(ExecStatus status);

}  // namespace db
