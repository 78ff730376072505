#pragma once
// The interface each kind of database implements (SQLite, PostgreSQL, ODBC),
// and the factory that opens the kind a connection string names.

#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "db/cancel_token.h"
#include "db/exec_result.h"
#include "db/fix_upkeep.h"
#include "db/sql_command.h"

namespace db {

// One open connection of one kind of database. Not locked: used by one thread
// at a time. No operation throws.
class Backend {
public:
    virtual ~Backend() = default;

    // False once the connection was found lost; the owner then opens anew.
    virtual bool IsOpen() const = 0;
    virtual ExecResult Execute(const SqlCommand& command) = 0;
    virtual ExecResult Begin() = 0;
    virtual ExecResult Commit() = 0;
    virtual ExecResult Rollback() = 0;
    virtual void Close() = 0;

    // Runs the statements in order inside one transaction and commits them,
    // each statement executed by itself. At the first failure nothing of the
    // group is kept (the transaction is rolled back) and the result says
    // which statement failed. This one takes a round trip per step through
    // Begin, Execute and Commit; a backend may send the group at once.
    virtual GroupResult ExecuteGroup(std::span<const SqlCommand> group);

    // A backend over a file it opened by its path (SQLite) can tell whether
    // the path still names that file: an administrator may delete or
    // replace it while the server runs, and what is committed afterwards
    // goes into a file nobody will read again.
    virtual bool WatchesFile() const { return false; }
    // Empty while the path names the open file; otherwise what became of it
    // (deleted, another file in its place). Clears the way for opening the
    // path again: what the open file left beside the path (a write-ahead
    // log) goes, so that it is not applied to the file now there.
    virtual std::string FileReplaced() { return {}; }
    // Makes gps_fixes' partitions ahead and removes fixes past their
    // retention, in our schemas. A database that is not ours (ODBC, a site's
    // own procedures) is left alone: NoRows.
    virtual FixUpkeepResult KeepFixes(const FixUpkeep& upkeep);
    // What the owner should log once about this connection (a database that
    // works in a slower way than it could), or empty.
    virtual std::string Notice() const { return {}; }
};

struct BackendOpenResult {
    std::unique_ptr<Backend> backend;  // null on failure
    std::string error;
};

// What a connection string asks for.
enum class BackendKind { Empty, Sqlite, Postgresql, Odbc, Unknown };

BackendKind ClassifyConnectionString(std::string_view connectionString);

// Opens a connection of the kind the string names. timeoutSeconds bounds the
// connect and each statement; 0 or less means no limit. `cancel`, when given,
// outlives the backend: the backend arms it so that another thread can break
// off a call that blocks (and the connect, where the backend can).
BackendOpenResult OpenBackend(std::string_view connectionString, int timeoutSeconds,
                              const std::filesystem::path& baseDir, CancelToken* cancel = nullptr);

// Opened by the factory; each in its own file.
BackendOpenResult OpenSqliteBackend(std::string_view connectionString, int timeoutSeconds,
                                    const std::filesystem::path& baseDir,
                                    CancelToken* cancel = nullptr);
BackendOpenResult OpenPostgresqlBackend(std::string_view connectionString, int timeoutSeconds,
                                        CancelToken* cancel = nullptr);
BackendOpenResult OpenOdbcBackend(std::string_view connectionString, int timeoutSeconds,
                                  CancelToken* cancel = nullptr);

// The directory of the running executable (empty if it cannot be told).
std::filesystem::path ExecutableDirectory();

}  // namespace db
