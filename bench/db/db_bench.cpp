// Statements per second into each backend: through the queue and the worker
// thread, beside a connection driven directly in a loop, in the same run. The
// counters give both rates and worker/direct.
//
//   build/bin/db_bench                      SQLite only
//   scripts/pg-test-server start /tmp/pgb && VARDO_TEST_PG_DIR=/tmp/pgb build/bin/db_bench
//   (or VARDO_BENCH_PG="postgresql://..." for a server of your own, schema installed)
#include <benchmark/benchmark.h>

#include <thread>

#include "bench/db/bench_databases.h"
#include "db/db_worker.h"

namespace {

using dbbench::Backend;

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

void Compare(benchmark::State& state, Backend backend) {
    if (!dbbench::SkipReason(backend).empty()) {
        state.SkipWithError(dbbench::SkipReason(backend).c_str());
        return;
    }
    const int batchSize = backend == Backend::Sqlite ? 2000 : 200;
    CMyDbConnection direct;
    CMyDbConnection workerConn;
    CMyCommandQueue queue;
    const std::string workerCs = dbbench::ConnectionString(backend, "worker.db");
    // One statement per commit, as the direct loop: this compares the
    // queue and the thread, not the grouping (group_commit_bench does).
    db::WorkerOptions options;
    options.groupCommit = false;
    CDbWorker worker(queue, workerConn, workerCs, options);
    if (!direct.Open(dbbench::ConnectionString(backend, "direct.db"), 15)) {
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
        auto directBatch = dbbench::MakeFixes(batchSize);
        auto workerBatch = dbbench::MakeFixes(batchSize);
        auto runDirect = [&] {
            const auto t0 = SteadyClock::now();
            for (const auto& c : directBatch) {
                if (!direct.ExecuteCommand(c).applied()) {
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

BENCHMARK_CAPTURE(Compare, sqlite, Backend::Sqlite)
    ->UseManualTime()
    ->MinTime(10.0)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Compare, postgresql, Backend::Postgresql)
    ->UseManualTime()
    ->MinTime(10.0)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    return dbbench::RunBenchmarks(argc, argv);
}
