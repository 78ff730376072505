#pragma once
// CMyDbConnection: the program's one database connection, over the backend
// its connection string names.

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
class Backend;
}

// The program's one database connection. The backend is chosen by the
// connection string:
//   sqlite:PATH                      SQLite file (PATH relative to the base
//                                    directory, or absolute); created with
//                                    its schema on first open
//   postgresql://... postgres://...  PostgreSQL through libpq
//   host=... dbname=... (key=value)  PostgreSQL through libpq
//   Driver=... DSN=... FILEDSN=...   ODBC through unixODBC, passed on as it is
//   Provider=SQLOLEDB;... (SQLNCLI*, MSOLEDBSQL*)
//                                    SQL Server through FreeTDS's ODBC driver
// An empty or other string makes Open fail with a clear LastError().
//
// No operation lets an error escape. The object is not locked: one thread at a
// time uses it (the window thread before the worker starts and after it has
// been joined, the worker in between).
class CMyDbConnection {
public:
    // baseDir: where a relative SQLite path is looked up; empty means the
    // directory of the running executable.
    explicit CMyDbConnection(std::filesystem::path baseDir = {});
    ~CMyDbConnection();
    CMyDbConnection(const CMyDbConnection&) = delete;
    CMyDbConnection& operator=(const CMyDbConnection&) = delete;

    void SetBaseDirectory(std::filesystem::path baseDir);

    // True when the connection is open on return. An open connection returns
    // true at once, whatever string and time-out are given. timeoutSeconds
    // bounds connecting and each statement (0 or less: no limit).
    bool Open(std::string_view connectionString, int timeoutSeconds);

    // Runs one statement and tells the outcomes apart (applied, no rows,
    // rejected, busy, connection lost).
    db::ExecResult ExecuteCommand(const db::SqlCommand& command);

    // Runs the statements in order inside one transaction (pipelined where the
    // backend can); see db::Backend::ExecuteGroup.
    db::GroupResult ExecuteGroup(std::span<const db::SqlCommand> group);

    // The upkeep of gps_fixes (see db::Backend::KeepFixes) on the open
    // connection.
    db::FixUpkeepResult KeepFixes(const db::FixUpkeep& upkeep);

    // Closes an open connection; does nothing otherwise.
    void Close();

    // Any thread: breaks off the call the connection is in (a statement, a
    // lock wait, a connect where the backend allows) and every later connect,
    // until ResetCancel. The call returns as failed; nothing is freed under
    // the thread that uses the connection.
    void Cancel() { m_cancel.Cancel(); }
    void ResetCancel() { m_cancel.Reset(); }

    bool IsOpen() const;

    // Whether the open connection is over a file the path may stop naming
    // (SQLite), and, if so, empty while the path still names it, otherwise
    // what became of it; see db::Backend::FileReplaced.
    bool WatchesFile() const;
    std::string FileReplaced();

    // Why the last Open or statement failed; empty after success.
    const std::string& LastError() const { return m_lastError; }
    // What the last successful Open found worth a log line about the
    // connection (see db::BackendOpenResult::notice), or empty.
    const std::string& OpenNotice() const { return m_openNotice; }

private:
    db::ExecResult Record(db::ExecResult result);

    std::filesystem::path m_baseDir;
    db::CancelToken m_cancel;  // outlives every backend: declared before it
    std::unique_ptr<db::Backend> m_pBackend;
    std::string m_lastError;
    std::string m_openNotice;
};
