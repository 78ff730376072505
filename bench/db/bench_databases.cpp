#include "bench/db/bench_databases.h"

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "testsupport/pg/pg_test_server.h"

namespace dbbench {
namespace {

struct State {
    std::filesystem::path sqliteDir;
    std::string pgConnInfo;  // libpq key=value text of the benchmark database
    std::string pgSkip;
    std::string odbcConnectionString;
    std::string odbcSkip;
    std::unique_ptr<pgtest::TestDatabase> pgShared;                          // on the test server
    std::map<std::string, std::unique_ptr<pgtest::TestDatabase>> pgCreated;  // by CreateDatabase
};

State& S() {
    static State s;
    return s;
}

void SetUpPostgresql() {
    State& s = S();
    s.odbcSkip = "ODBC runs against the test server only: set VARDO_TEST_PG_DIR";
    if (const char* own = std::getenv("VARDO_BENCH_PG"); own != nullptr && *own != '\0') {
        s.pgConnInfo = own;
        return;
    }
    std::string why;
    const auto server = pgtest::ServerConnInfo(&why);
    if (!server) {
        s.pgSkip = why + "; or set VARDO_BENCH_PG to a server of your own";
        return;
    }
    s.pgShared = pgtest::TestDatabase::Create(why);
    if (!s.pgShared) {
        s.pgSkip = "cannot set up the benchmark database: " + why;
        s.odbcSkip = s.pgSkip;
        return;
    }
    s.pgConnInfo = s.pgShared->ConnInfo();
    s.odbcConnectionString =
        "Driver={PostgreSQL Unicode};Server=" + pgtest::ConnInfoValue(*server, "host") +
        ";Port=" + pgtest::ConnInfoValue(*server, "port") + ";Database=" + s.pgShared->Name() +
        ";UID=" + pgtest::ConnInfoValue(*server, "user");
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
    s.pgCreated.clear();
    s.pgShared.reset();
    std::error_code ec;
    if (!s.sqliteDir.empty()) {
        std::filesystem::remove_all(s.sqliteDir, ec);
    }
}

int RunBenchmarks(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!SetUp()) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TearDown();
    return 0;
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
            if (S().pgShared) {
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
        if (auto db = pgtest::TestDatabase::Create(error)) {
            const std::string conninfo = db->ConnInfo();
            s.pgCreated[name] = std::move(db);
            return conninfo;
        }
    }
    if (why != nullptr) {
        *why = error;
    }
    return {};
}

void DropDatabase(Backend backend, const std::string& name) {
    if (backend == Backend::Postgresql) {
        S().pgCreated.erase(name);
    }
}

std::vector<db::SqlCommand> MakeFixes(int size) {
    std::vector<db::SqlCommand> batch;
    batch.reserve(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) {
        batch.push_back(
            db::MakeGpsFix("BENCH" + std::to_string(i % 50), {25.0 + i * 1e-6, 121.5, 18.5, 90},
                           "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D"));
    }
    return batch;
}

}  // namespace dbbench
