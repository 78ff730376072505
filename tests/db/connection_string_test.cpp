#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "db/backend.h"
#include "db/db_connection.h"
#include "tests/db/test_store.h"

namespace {

using db::BackendKind;

TEST(ConnectionString, ChoosesTheBackend) {
    const struct {
        const char* text;
        BackendKind kind;
    } cases[] = {
        {"", BackendKind::Empty},
        {"   \t", BackendKind::Empty},
        {"sqlite:vardo.db", BackendKind::Sqlite},
        {"  SQLite:/var/lib/vardo/events.db ", BackendKind::Sqlite},
        {"postgresql://vardo@db.example/vardo", BackendKind::Postgresql},
        {"postgres:///vardo?host=/run/postgresql", BackendKind::Postgresql},
        {"host=/tmp dbname=vardo", BackendKind::Postgresql},
        {"dbname=vardo user=vardo", BackendKind::Postgresql},
        {"Provider=SQLOLEDB;Data Source=10.0.0.1;Initial Catalog=VardoPlatform;User ID=sa",
         BackendKind::Odbc},
        {"Driver={FreeTDS};Server=db;Database=VardoPlatform", BackendKind::Odbc},
        {"DSN=vardo;UID=sa", BackendKind::Odbc},
        {"user=vardo", BackendKind::Unknown},
        {"vardo.db", BackendKind::Unknown},
        {"host='unterminated", BackendKind::Unknown},
        {"mysql://root@localhost/vardo", BackendKind::Unknown},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(db::ClassifyConnectionString(c.text), c.kind) << '"' << c.text << '"';
    }
}

TEST(ConnectionString, UnusableStringsFailOpenWithAClearReason) {
    dbtest::TempDir dir;
    { std::ofstream(dir.path() / "a-file") << std::string(8192, 'x'); }
    const struct {
        std::string text;
        const char* reason;
    } cases[] = {
        {"", "empty"},
        {"Provider=SQLOLEDB;Data Source=10.0.0.1;Integrated Security=SSPI", "Windows login"},
        {"Driver={No Such Driver};Server=db", "not registered"},
        {"DSN=vardo_no_such_dsn", "not registered"},
        {"just some words", "unrecognised"},
        {"sqlite:", "no database file"},
        {"sqlite:" + (dir.path() / "a-file" / "x.db").string(), "cannot create the folder"},
        {"sqlite:" + (dir.path() / "a-file").string(), "not a database"},
        {"host=" + dir.path().string() + " dbname=nothing connect_timeout=2", "socket"},
    };
    for (const auto& c : cases) {
        CMyDbConnection conn(dir.path());
        EXPECT_FALSE(conn.Open(c.text, 2)) << c.text;
        EXPECT_FALSE(conn.IsOpen());
        EXPECT_NE(conn.LastError().find(c.reason), std::string::npos)
            << c.text << " gave: " << conn.LastError();
        EXPECT_FALSE(conn.ExecuteCommand(db::MakeOnlineEvent("X7")).applied());
        conn.Close();
    }
}

TEST(ConnectionString, CloseAndExecuteOnANeverOpenedConnectionAreHarmless) {
    CMyDbConnection conn;
    conn.Close();
    conn.Close();
    EXPECT_FALSE(conn.ExecuteCommand(db::MakeOnlineEvent("X7")).applied());
    EXPECT_EQ(conn.ExecuteCommand(db::MakeOnlineEvent("X7")).status,
              db::ExecStatus::ConnectionLost);
    EXPECT_EQ(conn.Begin().status, db::ExecStatus::ConnectionLost);
}

TEST(ConnectionString, RelativeSqlitePathsAreFoundBelowTheBaseDirectory) {
    dbtest::TempDir dir;
    CMyDbConnection conn(dir.path());
    ASSERT_TRUE(conn.Open("sqlite:data/sub/events.db", 5)) << conn.LastError();
    EXPECT_TRUE(conn.ExecuteCommand(db::MakeOnlineEvent("X7")).applied());
    conn.Close();
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "data" / "sub" / "events.db"));
}

mode_t ModeOf(const std::filesystem::path& p) {
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

TEST(ConnectionString, SqliteFilesAreForTheOwnerAndGroupOnlyWhateverTheUmask) {
    dbtest::TempDir dir;
    const mode_t before = ::umask(0);
    CMyDbConnection conn(dir.path());
    const bool opened = conn.Open("sqlite:data/sub/events.db", 5);
    ::umask(before);
    ASSERT_TRUE(opened) << conn.LastError();
    EXPECT_TRUE(conn.ExecuteCommand(db::MakeOnlineEvent("X7")).applied());
    const auto db = dir.path() / "data" / "sub" / "events.db";
    // While the connection is open its write-ahead log and shared memory
    // exist beside it, with the same mode.
    for (const std::string& file : {db.string(), db.string() + "-wal", db.string() + "-shm"}) {
        EXPECT_EQ(ModeOf(file), 0640u) << file;
    }
    EXPECT_EQ(ModeOf(dir.path() / "data"), 0750u);
    EXPECT_EQ(ModeOf(dir.path() / "data" / "sub"), 0750u);
    conn.Close();

    // A database an administrator made readable on purpose stays so.
    ASSERT_EQ(::chmod(db.c_str(), 0644), 0);
    ASSERT_TRUE(conn.Open("sqlite:data/sub/events.db", 5)) << conn.LastError();
    EXPECT_TRUE(conn.ExecuteCommand(db::MakeOnlineEvent("X7")).applied());
    EXPECT_EQ(ModeOf(db), 0644u);
    conn.Close();
}

}  // namespace
