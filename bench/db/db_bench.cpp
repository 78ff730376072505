// Statements per second into each backend: through the queue and the worker
// thread, beside a connection driven directly in a loop, in the same run. The
// counters give both rates and worker/direct.
//
//   build/bin/db_bench                      SQLite only
//   scripts/pg-test-server start /tmp/pgb && VARDO_TEST_PG_DIR=/tmp/pgb build/bin/db_bench
//   (or VARDO_BENCH_PG="postgresql://..." for a server of your own, schema installed)
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "db/db_worker.h"
#include "db/schema.h"

namespace {

std::vector<db::SqlCommand> MakeBatch(int size) {
    std::vector<db::SqlCommand> batch;
    batch.reserve(static_cast<std::size_t>(size));
    for (int i = 0; i < size; ++i) {
        batch.push_back(
            db::MakeGpsFix("BENCH" + std::to_string(i % 50), 25.0 + i * 1e-6, 121.5, 18.5, 90,
                           "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D"));
    }
    return batch;
}

// --- where the databases are -------------------------------------------------

std::filesystem::path& SqliteDir() {
    static std::filesystem::path dir;
    return dir;
}

std::string& PgConnInfo() {
    static std::string conninfo;
    return conninfo;
}
std::string& PgAdminConnInfo() {
    static std::string conninfo;
    return conninfo;
}
std::string& PgSkipReason() {
    static std::string why;
    return why;
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

const std::string kPgDbName = "vardo_bench_" + std::to_string(::getpid());

void SetUpPostgresql() {
    if (const char* own = std::getenv("VARDO_BENCH_PG"); own != nullptr && *own != '\0') {
        PgConnInfo() = own;
        return;
    }
    const char* dir = std::getenv("VARDO_TEST_PG_DIR");
    if (dir == nullptr || *dir == '\0') {
        PgSkipReason() =
            "no PostgreSQL server: set VARDO_TEST_PG_DIR (scripts/pg-test-server) "
            "or VARDO_BENCH_PG";
        return;
    }
    std::ifstream in(std::string(dir) + "/conninfo");
    std::string admin;
    std::getline(in, admin);
    std::string error;
    if (admin.empty() || !PgExec(admin, "CREATE DATABASE " + kPgDbName, error)) {
        PgSkipReason() = "cannot create the benchmark database: " + error;
        return;
    }
    PgAdminConnInfo() = admin;
    PgConnInfo() = admin + " dbname=" + kPgDbName;
    if (!PgExec(PgConnInfo(), std::string(db::PostgresqlSchemaSql()), error)) {
        PgSkipReason() = "cannot install the schema: " + error;
    }
}

void TearDownPostgresql() {
    std::string error;
    if (!PgAdminConnInfo().empty()) {
        PgExec(PgAdminConnInfo(), "DROP DATABASE IF EXISTS " + kPgDbName + " WITH (FORCE)", error);
    }
}

std::string ConnectionString(bool pg, const char* file) {
    return pg ? PgConnInfo() : "sqlite:" + (SqliteDir() / file).string();
}

// --- the two ways of running the same statements -----------------------------
//
// Each iteration runs one batch directly on a connection in a loop and one
// batch through the queue and the worker (pushed from this thread while the
// worker runs, as the window thread does), alternating which goes first.
// Pairing them this closely keeps changes of load on a shared machine (other
// builds, the disk's fsync latency) from favouring either side.

using SteadyClock = std::chrono::steady_clock;

double Seconds(SteadyClock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void Compare(benchmark::State& state, bool pg) {
    if (pg && !PgSkipReason().empty()) {
        state.SkipWithError(PgSkipReason().c_str());
        return;
    }
    const int batchSize = pg ? 200 : 2000;
    CMyDbConnection direct;
    CMyDbConnection workerConn;
    CMyCommandQueue queue;
    const std::string workerCs = ConnectionString(pg, "worker.db");
    CDbWorker worker(queue, workerConn, workerCs);
    if (!direct.Open(ConnectionString(pg, "direct.db"), 15)) {
        state.SkipWithError(direct.LastError().c_str());
        return;
    }
    if (!workerConn.Open(workerCs, 15) || !worker.Start()) {
        state.SkipWithError(workerConn.LastError().c_str());
        return;
    }

    double directSeconds = 0;
    double workerSeconds = 0;
    std::uint64_t done = 0;
    bool directFirst = true;
    for (auto _ : state) {
        auto directBatch = MakeBatch(batchSize);
        auto workerBatch = MakeBatch(batchSize);
        auto runDirect = [&] {
            const auto t0 = SteadyClock::now();
            for (const auto& c : directBatch) {
                if (!direct.Execute(c)) {
                    return false;
                }
            }
            directSeconds += Seconds(SteadyClock::now() - t0);
            return true;
        };
        auto runWorker = [&] {
            const auto t0 = SteadyClock::now();
            for (auto& c : workerBatch) {
                queue.Push(std::move(c));
            }
            done += static_cast<std::uint64_t>(batchSize);
            // Coarse polling: it must not take the CPU the worker needs (at
            // most 1 ms late on a batch of hundreds of ms).
            while (worker.Counters().executed < done) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            workerSeconds += Seconds(SteadyClock::now() - t0);
        };
        const auto start = SteadyClock::now();
        if (directFirst) {
            if (!runDirect()) {
                state.SkipWithError(direct.LastError().c_str());
                break;
            }
            runWorker();
        } else {
            runWorker();
            if (!runDirect()) {
                state.SkipWithError(direct.LastError().c_str());
                break;
            }
        }
        directFirst = !directFirst;
        state.SetIterationTime(Seconds(SteadyClock::now() - start));
    }
    worker.Stop(10000);
    const auto counters = worker.Counters();
    if (counters.rejected != 0 || counters.retried != 0) {
        state.SkipWithError(("worker: " + worker.LastError()).c_str());
    }
    const double n = static_cast<double>(state.iterations()) * batchSize;
    if (directSeconds > 0 && workerSeconds > 0) {
        state.counters["direct/s"] = n / directSeconds;
        state.counters["worker/s"] = n / workerSeconds;
        state.counters["worker/direct"] = directSeconds / workerSeconds;
    }
}

BENCHMARK_CAPTURE(Compare, sqlite, false)
    ->UseManualTime()
    ->MinTime(10.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Compare, postgresql, true)
    ->UseManualTime()
    ->MinTime(10.0)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::string tmpl = (std::filesystem::temp_directory_path() / "vardo-db-bench.XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    SqliteDir() = tmpl;
    SetUpPostgresql();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    TearDownPostgresql();
    std::error_code ec;
    std::filesystem::remove_all(SqliteDir(), ec);
    return 0;
}
