#include "testsupport/pg/pg_test_server.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "db/schema.h"

namespace pgtest {
namespace {

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

std::string ShellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

bool RunScript(const char* command, std::string* error) {
    const char* dir = std::getenv("VARDO_TEST_PG_DIR");
    if (dir == nullptr || *dir == '\0') {
        if (error)
            *error = "VARDO_TEST_PG_DIR is not set";
        return false;
    }
    const std::string cmd =
        ShellQuote(VARDO_PG_TEST_SCRIPT) + " " + command + " " + ShellQuote(dir) + " >/dev/null";
    if (std::system(cmd.c_str()) != 0) {
        if (error)
            *error = "'" + cmd + "' failed";
        return false;
    }
    return true;
}

// A connection of the test's own; frees itself.
struct Conn {
    explicit Conn(const std::string& conninfo) : c(PQconnectdb(conninfo.c_str())) {}
    ~Conn() { PQfinish(c); }
    bool ok() const { return c != nullptr && PQstatus(c) == CONNECTION_OK; }
    std::string error() const { return c ? Trim(PQerrorMessage(c)) : "out of memory"; }
    PGconn* c;
};

bool ExecOn(const std::string& conninfo, const std::string& sql, std::string* error) {
    Conn conn(conninfo);
    if (!conn.ok()) {
        if (error)
            *error = conn.error();
        return false;
    }
    PGresult* res = PQexec(conn.c, sql.c_str());
    const auto st = PQresultStatus(res);
    const bool ok = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
    if (!ok && error) {
        *error = Trim(PQerrorMessage(conn.c));
    }
    PQclear(res);
    return ok;
}

}  // namespace

std::string ConnInfoValue(const std::string& conninfo, const std::string& key) {
    std::istringstream in(conninfo);
    std::string word;
    std::string value;
    while (in >> word) {
        if (word.rfind(key + "=", 0) == 0) {
            value = word.substr(key.size() + 1);
        }
    }
    return value;
}

std::optional<std::string> ServerConnInfo(std::string* why) {
    const char* dir = std::getenv("VARDO_TEST_PG_DIR");
    if (dir == nullptr || *dir == '\0') {
        if (why) {
            *why =
                "no test PostgreSQL server: VARDO_TEST_PG_DIR is not set (run through ctest, or "
                "start one with scripts/pg-test-server start DIR and export VARDO_TEST_PG_DIR=DIR)";
        }
        return std::nullopt;
    }
    std::ifstream in(std::string(dir) + "/conninfo");
    std::string line;
    if (!in || !std::getline(in, line) || Trim(line).empty()) {
        if (why)
            *why = std::string("no server in ") + dir + " (conninfo missing)";
        return std::nullopt;
    }
    return Trim(line);
}

bool HaltServer(std::string* error) {
    return RunScript("halt", error);
}
bool StartServer(std::string* error) {
    return RunScript("start", error);
}

TestDatabase::TestDatabase(std::string serverConnInfo, std::string name)
    : m_serverConnInfo(std::move(serverConnInfo)), m_name(std::move(name)) {
    // A later dbname keyword overrides the server's "dbname=postgres".
    m_connInfo = m_serverConnInfo + " dbname=" + m_name;
}

std::unique_ptr<TestDatabase> TestDatabase::Create(std::string& error, bool installSchema) {
    auto server = ServerConnInfo(&error);
    if (!server) {
        return nullptr;
    }
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    const std::string name = "vardo_t_" + std::to_string(::getpid()) + "_" +
                             std::to_string(counter.fetch_add(1)) + "_" +
                             std::to_string(rd() % 100000);
    if (!ExecOn(*server, "CREATE DATABASE " + name + " TEMPLATE template0 ENCODING 'UTF8'",
                &error)) {
        error = "cannot create a test database: " + error;
        return nullptr;
    }
    std::unique_ptr<TestDatabase> db(new TestDatabase(*server, name));
    if (installSchema && !db->Exec(std::string(db::PostgresqlSchemaSql()), &error)) {
        error = "cannot install the schema: " + error;
        return nullptr;
    }
    return db;
}

TestDatabase::~TestDatabase() {
    ExecOn(m_serverConnInfo, "DROP DATABASE IF EXISTS " + m_name + " WITH (FORCE)", nullptr);
}

bool TestDatabase::Exec(const std::string& sql, std::string* error) {
    return ExecOn(m_connInfo, "SET client_min_messages = warning; " + sql, error);
}

Rows TestDatabase::Query(const std::string& sql, std::string* error) {
    Rows rows;
    Conn conn(m_connInfo);
    if (!conn.ok()) {
        if (error)
            *error = conn.error();
        return rows;
    }
    PGresult* res = PQexec(conn.c, sql.c_str());
    if (PQresultStatus(res) != PGRES_TUPLES_OK) {
        if (error)
            *error = Trim(PQerrorMessage(conn.c));
        PQclear(res);
        return rows;
    }
    for (int r = 0; r < PQntuples(res); ++r) {
        std::vector<std::string> row;
        for (int f = 0; f < PQnfields(res); ++f) {
            row.push_back(PQgetisnull(res, r, f)
                              ? "<null>"
                              : std::string(PQgetvalue(res, r, f), PQgetlength(res, r, f)));
        }
        rows.push_back(std::move(row));
    }
    PQclear(res);
    return rows;
}

}  // namespace pgtest
