#pragma once
// Fresh databases of each backend for the tests, seen through a connection
// of the test's own, and the small helpers the database tests share.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "testsupport/pg/pg_test_server.h"

namespace dbtest {

using Rows = pgtest::Rows;

// Odbc: the test server again, reached through unixODBC and its PostgreSQL
// driver.
enum class Kind { Sqlite, Postgresql, Odbc };

// A fresh, empty database of one backend, with the schema in place (SQLite
// creates it on first open; so Query before the first open finds no tables),
// and a connection of the test's own to look at it.
class TestStore {
public:
    virtual ~TestStore() = default;
    virtual std::string ConnectionString() const = 0;
    virtual Rows Query(const std::string& sql) = 0;
    virtual bool Exec(const std::string& sql, std::string* error = nullptr) = 0;
    // An expression giving a time column as UTC text "YYYY-MM-DD HH:MM:SS.mmm".
    virtual std::string TimeText(const std::string& column) const = 0;
    // Makes the database itself refuse every fix and event of `deviceName`.
    virtual bool InstallRejection(const std::string& deviceName) = 0;

    // The base directory a relative SQLite path is resolved against.
    virtual std::filesystem::path BaseDir() const { return {}; }

    // Ends the server sessions of every other connection to this database
    // and waits until they are gone; false where there is no server.
    virtual bool KillOtherSessions() { return false; }

    std::string Scalar(const std::string& sql);
};

// The driver name Debian's odbc-postgresql package registers.
inline constexpr const char* kPostgresqlOdbcDriver = "PostgreSQL Unicode";

// An ODBC connection string for a test database of the private server.
std::string OdbcConnectionString(const pgtest::TestDatabase& db);

// Null with `skipReason` when the backend is not available here.
std::unique_ptr<TestStore> MakeStore(Kind kind, std::string& skipReason);

std::string KindName(Kind kind);

// Runs SQL on a SQLite file through a connection of the test's own.
Rows SqliteQuery(const std::filesystem::path& file, const std::string& sql,
                 std::string* error = nullptr);

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Polls until pred() holds; false after `limit`. For waiting on another
// thread's progress, never for asserting speed.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds limit = std::chrono::seconds(60));

}  // namespace dbtest
