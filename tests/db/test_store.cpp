#include "tests/db/test_store.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <stdexcept>
#include <thread>

namespace dbtest {
namespace {

bool RunSqlite(const std::filesystem::path& file, const std::string& sql, Rows* rows,
               std::string* error);

class SqliteStore final : public TestStore {
public:
    SqliteStore() : m_file(m_dir.path() / "events.db") {}

    std::string ConnectionString() const override { return "sqlite:" + m_file.string(); }
    std::filesystem::path BaseDir() const override { return m_dir.path(); }

    Rows Query(const std::string& sql) override {
        Rows rows;
        Run(sql, &rows, nullptr);
        return rows;
    }
    bool Exec(const std::string& sql, std::string* error) override {
        return Run(sql, nullptr, error);
    }
    std::string TimeText(const std::string& column) const override { return column; }
    bool InstallRejection(const std::string& deviceName) override {
        std::string quoted = "'" + deviceName + "'";
        return Exec(
            "CREATE TRIGGER IF NOT EXISTS test_refuse_fix BEFORE INSERT ON gps_fixes "
            "WHEN NEW.device_name = " +
                quoted +
                " BEGIN SELECT RAISE(ABORT, 'refused by the test'); END;"
                "CREATE TRIGGER IF NOT EXISTS test_refuse_event BEFORE INSERT ON "
                "device_events WHEN NEW.device_name = " +
                quoted + " BEGIN SELECT RAISE(ABORT, 'refused by the test'); END;",
            nullptr);
    }

private:
    bool Run(const std::string& sql, Rows* rows, std::string* error) {
        return RunSqlite(m_file, sql, rows, error);
    }

    TempDir m_dir;
    std::filesystem::path m_file;
};

bool RunSqlite(const std::filesystem::path& file, const std::string& sql, Rows* rows,
               std::string* error) {
    {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            if (error)
                *error = db ? sqlite3_errmsg(db) : "cannot open";
            sqlite3_close(db);
            return false;
        }
        sqlite3_busy_timeout(db, 10000);
        auto cb = [](void* p, int n, char** values, char**) -> int {
            auto* out = static_cast<Rows*>(p);
            if (out != nullptr) {
                std::vector<std::string> row;
                for (int i = 0; i < n; ++i) {
                    row.emplace_back(values[i] ? values[i] : "<null>");
                }
                out->push_back(std::move(row));
            }
            return 0;
        };
        char* msg = nullptr;
        const int rc = sqlite3_exec(db, sql.c_str(), cb, rows, &msg);
        if (rc != SQLITE_OK && error) {
            *error = msg ? msg : "error";
        }
        sqlite3_free(msg);
        sqlite3_close(db);
        return rc == SQLITE_OK;
    }
}

// The test server, through libpq or through ODBC.
class PostgresqlStore final : public TestStore {
public:
    PostgresqlStore(std::unique_ptr<pgtest::TestDatabase> db, bool odbc)
        : m_db(std::move(db)), m_odbc(odbc) {}

    std::string ConnectionString() const override {
        return m_odbc ? OdbcConnectionString(*m_db) : m_db->ConnInfo();
    }
    Rows Query(const std::string& sql) override { return m_db->Query(sql); }
    bool Exec(const std::string& sql, std::string* error) override {
        return m_db->Exec(sql, error);
    }
    std::string TimeText(const std::string& column) const override {
        return "to_char(" + column + " AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS.MS')";
    }
    bool InstallRejection(const std::string& deviceName) override {
        return Exec(
            "CREATE FUNCTION test_refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
            "RAISE EXCEPTION 'refused by the test' USING ERRCODE = 'check_violation'; END $$;"
            "CREATE TRIGGER test_refuse_fix BEFORE INSERT ON gps_fixes FOR EACH ROW WHEN "
            "(NEW.device_name = '" +
                deviceName +
                "') EXECUTE FUNCTION test_refuse();"
                "CREATE TRIGGER test_refuse_event BEFORE INSERT ON device_events FOR EACH ROW WHEN "
                "(NEW.device_name = '" +
                deviceName + "') EXECUTE FUNCTION test_refuse();",
            nullptr);
    }
    bool KillOtherSessions() override {
        const std::string others =
            " FROM pg_stat_activity WHERE datname = current_database() AND pid <> "
            "pg_backend_pid()";
        if (!Exec("SELECT pg_terminate_backend(pid)" + others, nullptr)) {
            return false;
        }
        return WaitUntil([&] { return Scalar("SELECT count(*)" + others) == "0"; });
    }

private:
    std::unique_ptr<pgtest::TestDatabase> m_db;
    bool m_odbc;
};

}  // namespace

std::string TestStore::Scalar(const std::string& sql) {
    Rows rows = Query(sql);
    return rows.empty() || rows[0].empty() ? "<none>" : rows[0][0];
}

std::unique_ptr<TestStore> MakeStore(Kind kind, std::string& skipReason) {
    if (kind == Kind::Sqlite) {
        return std::make_unique<SqliteStore>();
    }
    auto db = pgtest::TestDatabase::Create(skipReason);
    if (!db) {
        return nullptr;
    }
    return std::make_unique<PostgresqlStore>(std::move(db), kind == Kind::Odbc);
}

std::string OdbcConnectionString(const pgtest::TestDatabase& db) {
    // The server's "host=... port=... user=... dbname=..." text, in the
    // words of the PostgreSQL ODBC driver.
    const std::string& info = db.ConnInfo();
    const std::string host = pgtest::ConnInfoValue(info, "host");
    const std::string port = pgtest::ConnInfoValue(info, "port");
    const std::string user = pgtest::ConnInfoValue(info, "user");
    return std::string("Driver={") + kPostgresqlOdbcDriver + "};Server=" + host + ";Port=" + port +
           ";Database=" + db.Name() + ";UID=" + user;
}

Rows SqliteQuery(const std::filesystem::path& file, const std::string& sql, std::string* error) {
    Rows rows;
    RunSqlite(file, sql, &rows, error);
    return rows;
}

std::string KindName(Kind kind) {
    switch (kind) {
        case Kind::Sqlite:
            return "Sqlite";
        case Kind::Postgresql:
            return "Postgresql";
        case Kind::Odbc:
            return "Odbc";
    }
    return "?";
}

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vardo-db-test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace dbtest
