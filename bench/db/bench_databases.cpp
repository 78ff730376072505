#include "bench/db/bench_databases.h"

#include <libpq-fe.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "db/schema.h"

namespace dbbench {
namespace {

struct State {
    std::filesystem::path sqliteDir;
    std::string pgConnInfo;       // libpq key=value text of the benchmark database
    std::string pgAdminConnInfo;  // the server's own database, to create and drop ours
    std::string pgSkip;
    std::string odbcConnectionString;
    std::string odbcSkip;
    const std::string pgDbName = "vardo_bench_" + std::to_string(::getpid());
    std::set<std::string> pgCreated;  // by CreateDatabase, dropped at TearDown
};

State& S() {
    static State s;
    return s;
}

bool PgExec(const std::string& conninfo, const std::string& sql, std::string& error) {
    PGconn* c = PQconnectdb(conninfo.c_str());
    bool ok = PQstatus(c) == CONNECTION_OK;
    if (ok) {
        PGresult* r = PQexec(c, sql.c_str());
        ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
        PQclear(r);
    }
    if (!ok) {
        error = PQerrorMessage(c);
    }
    PQfinish(c);
    return ok;
}

// "host=H port=P user=U ..." -> the value of one key.
std::string Keyword(const std::string& conninfo, const std::string& key) {
    std::size_t pos = 0;
    while (pos < conninfo.size()) {
        const std::size_t end = std::min(conninfo.find(' ', pos), conninfo.size());
        const std::string item = conninfo.substr(pos, end - pos);
        if (item.rfind(key + "=", 0) == 0) {
            return item.substr(key.size() + 1);
        }
        pos = end + 1;
    }
    return {};
}

void SetUpPostgresql() {
    State& s = S();
    s.odbcSkip = "ODBC runs against the test server only: set VARDO_TEST_PG_DIR";
    if (const char* own = std::getenv("VARDO_BENCH_PG"); own != nullptr && *own != '\0') {
        s.pgConnInfo = own;
        return;
    }
    const char* dir = std::getenv("VARDO_TEST_PG_DIR");
    if (dir == nullptr || *dir == '\0') {
        s.pgSkip =
            "no PostgreSQL server: set VARDO_TEST_PG_DIR (scripts/pg-test-server) or "
            "VARDO_BENCH_PG";
        return;
    }
    std::ifstream in(std::string(dir) + "/conninfo");
    std::string admin;
    std::getline(in, admin);
    std::string error;
    if (admin.empty() || !PgExec(admin, "CREATE DATABASE " + s.pgDbName, error)) {
        s.pgSkip = "cannot create the benchmark database: " + error;
        s.odbcSkip = s.pgSkip;
        return;
    }
    s.pgAdminConnInfo = admin;
    s.pgConnInfo = admin + " dbname=" + s.pgDbName;
    if (!PgExec(s.pgConnInfo, std::string(db::PostgresqlSchemaSql()), error)) {
        s.pgSkip = "cannot install the schema: " + error;
        s.odbcSkip = s.pgSkip;
        return;
    }
    s.odbcConnectionString = "Driver={PostgreSQL Unicode};Server=" + Keyword(admin, "host") +
                             ";Port=" + Keyword(admin, "port") + ";Database=" + s.pgDbName +
                             ";UID=" + Keyword(admin, "user");
    s.odbcSkip.clear();
}

}  // namespace

const char* Name(Backend backend) {
    switch (backend) {
        case Backend::Sqlite:
            return "sqlite";
        case Backend::Postgresql:
            return "postgresql";
        case Backend::Odbc:
            return "odbc";
    }
    return "?";
}

bool SetUp() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vardo-db-bench.XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
        std::perror("mkdtemp");
        return false;
    }
    S().sqliteDir = tmpl;
    SetUpPostgresql();
    return true;
}

void TearDown() {
    State& s = S();
    while (!s.pgCreated.empty()) {
        DropDatabase(Backend::Postgresql, *s.pgCreated.begin());
    }
    std::string error;
    if (!s.pgAdminConnInfo.empty()) {
        PgExec(s.pgAdminConnInfo, "DROP DATABASE IF EXISTS " + s.pgDbName + " WITH (FORCE)", error);
    }
    std::error_code ec;
    if (!s.sqliteDir.empty()) {
        std::filesystem::remove_all(s.sqliteDir, ec);
    }
}

std::string ConnectionString(Backend backend, const std::string& file) {
    switch (backend) {
        case Backend::Sqlite:
            return "sqlite:" + (S().sqliteDir / file).string();
        case Backend::Postgresql:
            return S().pgConnInfo;
        case Backend::Odbc:
            return S().odbcConnectionString;
    }
    return {};
}

const std::string& SkipReason(Backend backend) {
    static const std::string none;
    switch (backend) {
        case Backend::Sqlite:
            return none;
        case Backend::Postgresql:
            return S().pgSkip;
        case Backend::Odbc:
            return S().odbcSkip;
    }
    return none;
}

std::string CreateSkipReason(Backend backend) {
    switch (backend) {
        case Backend::Sqlite:
            return {};
        case Backend::Postgresql:
            if (!S().pgAdminConnInfo.empty()) {
                return {};
            }
            return S().pgSkip.empty() ? "a database of its own needs the test server: set "
                                        "VARDO_TEST_PG_DIR (scripts/pg-test-server)"
                                      : S().pgSkip;
        case Backend::Odbc:
            break;
    }
    return "a database of its own is made for SQLite and PostgreSQL only";
}

std::string CreateDatabase(Backend backend, const std::string& name, std::string* why) {
    State& s = S();
    std::string error = CreateSkipReason(backend);
    if (error.empty() && backend == Backend::Sqlite) {
        return "sqlite:" + (s.sqliteDir / (name + ".db")).string();
    }
    if (error.empty()) {
        const std::string dbName = s.pgDbName + "_" + name;
        const std::string conninfo = s.pgAdminConnInfo + " dbname=" + dbName;
        if (!PgExec(s.pgAdminConnInfo, "CREATE DATABASE " + dbName, error)) {
            error = "cannot create " + dbName + ": " + error;
        } else if (s.pgCreated.insert(name);
                   !PgExec(conninfo, std::string(db::PostgresqlSchemaSql()), error)) {
            error = "cannot install the schema in " + dbName + ": " + error;
            DropDatabase(backend, name);
        } else {
            return conninfo;
        }
    }
    if (why != nullptr) {
        *why = error;
    }
    return {};
}

void DropDatabase(Backend backend, const std::string& name) {
    State& s = S();
    if (backend != Backend::Postgresql || s.pgCreated.erase(name) == 0) {
        return;
    }
    std::string error;
    if (!PgExec(s.pgAdminConnInfo,
                "DROP DATABASE IF EXISTS " + s.pgDbName + "_" + name + " WITH (FORCE)", error)) {
        std::fprintf(stderr, "bench: cannot drop %s_%s: %s", s.pgDbName.c_str(), name.c_str(),
                     error.c_str());
    }
}

std::vector<db::SqlCommand> MakeFixes(int size) {
    std::vector<db::SqlCommand> batch;
    batch.reserve(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) {
        batch.push_back(
            db::MakeGpsFix("BENCH" + std::to_string(i % 50), 25.0 + i * 1e-6, 121.5, 18.5, 90,
                           "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D"));
    }
    return batch;
}

}  // namespace dbbench
