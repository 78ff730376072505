#include "db/connection_string.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <vector>

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
        {" dsn = vardo", BackendKind::Odbc},
        // A key-like piece inside a braced value is part of that value.
        {"Server={a;Driver=b}", BackendKind::Unknown},
        {"user=vardo", BackendKind::Unknown},
        {"vardo.db", BackendKind::Unknown},
        {"host='unterminated", BackendKind::Unknown},
        {"mysql://root@localhost/vardo", BackendKind::Unknown},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(db::ClassifyConnectionString(c.text), c.kind) << '"' << c.text << '"';
    }
}

using db::ConnectionStringPair;
using db::ValueQuoting;

TEST(ConnectionString, BothQuotingsShareTheGrammarOfPairs) {
    const std::vector<ConnectionStringPair> expected{
        {"Server", "h"}, {"User  ID", "sa"}, {"Password", "a=b"}, {"Server", "second"}};
    for (auto quoting : {ValueQuoting::Braces, ValueQuoting::Quotes}) {
        const auto p = db::ParseConnectionString(
            " Server = h ;; User  ID=sa ;Password=a=b;Server=second;", quoting);
        EXPECT_EQ(p.pairs, expected);
        EXPECT_EQ(p.error, "");
    }
}

TEST(ConnectionString, EachQuotingEnclosesItsOwnWayOnly) {
    const struct {
        const char* text;
        ValueQuoting quoting;
        std::vector<ConnectionStringPair> pairs;
    } cases[] = {
        {"PWD={a;b}}c} ;N=1", ValueQuoting::Braces, {{"PWD", "a;b}c"}, {"N", "1"}}},
        {"PWD= { padded } ", ValueQuoting::Braces, {{"PWD", " padded "}}},
        {"PWD='a;b'", ValueQuoting::Braces, {{"PWD", "'a"}}},
        {"PWD=\"a;b\"\"c\";N=1", ValueQuoting::Quotes, {{"PWD", "a;b\"c"}, {"N", "1"}}},
        {"PWD='it''s'", ValueQuoting::Quotes, {{"PWD", "it's"}}},
        {"PWD={a;b}", ValueQuoting::Quotes, {{"PWD", "{a"}}},
        {"PWD={}", ValueQuoting::Braces, {{"PWD", ""}}},
    };
    for (const auto& c : cases) {
        const auto p = db::ParseConnectionString(c.text, c.quoting);
        EXPECT_EQ(p.pairs, c.pairs) << c.text;
    }
}

TEST(ConnectionString, FaultsAreNamedWhileTheLenientReadingIsKept) {
    const struct {
        const char* text;
        const char* error;
        std::vector<ConnectionStringPair> pairs;
    } cases[] = {
        {"A=1;justaword;B=2", "'justaword' has no '='", {{"A", "1"}, {"B", "2"}}},
        {"=orphan;B=2", "without a key", {{"B", "2"}}},
        {"A={runs to the end;B=2", "lacks its closing quote", {{"A", "runs to the end;B=2"}}},
        {"A={x} junk;B=2", "text after the quoted value of 'A'", {{"A", "x"}, {"B", "2"}}},
        // The first fault is the one named.
        {"x;=y", "'x' has no '='", {}},
    };
    for (const auto& c : cases) {
        const auto p = db::ParseConnectionString(c.text, ValueQuoting::Braces);
        EXPECT_EQ(p.pairs, c.pairs) << c.text;
        EXPECT_NE(p.error.find(c.error), std::string::npos) << c.text << " gave: " << p.error;
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
    const db::SqlCommand group[] = {db::MakeOnlineEvent("X7")};
    EXPECT_EQ(conn.ExecuteGroup(group).result.status, db::ExecStatus::ConnectionLost);
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
