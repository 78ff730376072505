// How to keep waiting statements on disk: append-only segment files with a
// checksum per record (the journal as built), against an embedded SQLite file
// in WAL mode holding the same records as rows. Both take the same batches
// (500 statements, what 100 ms bring at 5,000 fixes a second), make each
// batch durable with one fsync, mark the batch before it done and reclaim
// its space, as the journal does while the database keeps up.
//
//   build/bin/db_journal_store_bench
//
// items/s is statements made durable per second of the writer's time (CPU
// and disk); bytes/stmt is what the disk holds per statement.
//
// WindowPush/memory and WindowPush/journal: what a push costs the window
// thread (CPU time per statement pushed onto the queue), without and with the
// journal; the journal's writer runs on its own thread meanwhile.
//
// SyncLatency: 5,000 statements a second appended for 2 s; how long each
// waits until the journal says it is synced (what an acknowledgement of it
// must wait for): p50, p99 and max in ms.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "db/command_queue.h"
#include "db/journal_statement_record.h"
#include "db/sql_command.h"
#include "db/statement_journal.h"

namespace {

constexpr int kBatch = 500;
constexpr int kBatches = 40;
const char* const kGps = "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D";

std::string TempDir() {
    char pattern[] = "/tmp/vardo-jbench-XXXXXX";
    return ::mkdtemp(pattern);
}

std::vector<db::SqlCommand> Fixes() {
    std::vector<db::SqlCommand> out;
    for (int i = 0; i < kBatch; ++i) {
        out.push_back(db::MakeGpsFix("E2E" + std::to_string(10000 + i),
                                     {25.052057, 121.67613, 18, 90}, kGps));
    }
    return out;
}

void Segments(benchmark::State& state) {
    const auto fixes = Fixes();
    std::uint64_t bytes = 0;
    std::uint64_t stored = 0;
    for (auto _ : state) {
        const std::string dir = TempDir();
        {
            db::JournalOptions options;
            options.dir = dir + "/journal";
            options.syncEvery = std::chrono::hours(1);  // the batches below decide
            std::string error;
            auto journal = db::CStatementJournal::Open(options, nullptr, error);
            if (!journal) {
                state.SkipWithError(error.c_str());
                return;
            }
            std::uint64_t last = 0;
            for (int b = 0; b < kBatches; ++b) {
                const std::uint64_t done = last;
                for (const auto& f : fixes) {
                    last = journal->Append(f);
                }
                journal->MarkDone(done);
                journal->Flush(true);
            }
            bytes += journal->DiskBytes();
            stored += last;
        }
        std::filesystem::remove_all(dir);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kBatch * kBatches);
    state.counters["bytes/stmt"] = static_cast<double>(bytes) / static_cast<double>(stored);
}

void SqliteWal(benchmark::State& state) {
    const auto fixes = Fixes();
    std::uint64_t bytes = 0;
    std::uint64_t stored = 0;
    for (auto _ : state) {
        const std::string dir = TempDir();
        sqlite3* db = nullptr;
        sqlite3_open((dir + "/journal.db").c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                     "CREATE TABLE statements(seq INTEGER PRIMARY KEY, body BLOB NOT NULL);",
                     nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_stmt* remove = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO statements VALUES (?, ?)", -1, &insert, nullptr);
        sqlite3_prepare_v2(db, "DELETE FROM statements WHERE seq <= ?", -1, &remove, nullptr);
        std::int64_t seq = 0;
        std::string record;
        for (int b = 0; b < kBatches; ++b) {
            const std::int64_t done = seq;
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
            for (const auto& f : fixes) {
                record.clear();
                db::journal::AppendStatementRecord(record, static_cast<std::uint64_t>(++seq), f);
                sqlite3_bind_int64(insert, 1, seq);
                sqlite3_bind_blob(insert, 2, record.data(), static_cast<int>(record.size()),
                                  SQLITE_STATIC);
                sqlite3_step(insert);
                sqlite3_reset(insert);
            }
            sqlite3_bind_int64(remove, 1, done);
            sqlite3_step(remove);
            sqlite3_reset(remove);
            sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        }
        sqlite3_finalize(insert);
        sqlite3_finalize(remove);
        sqlite3_close(db);
        std::uint64_t size = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            size += e.file_size();
        }
        bytes += size;
        stored += static_cast<std::uint64_t>(seq);
        std::filesystem::remove_all(dir);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kBatch * kBatches);
    state.counters["bytes/stmt"] = static_cast<double>(bytes) / static_cast<double>(stored);
}

void WindowPush(benchmark::State& state, bool journal) {
    const auto fixes = Fixes();
    for (auto _ : state) {
        state.PauseTiming();
        const std::string dir = TempDir();
        auto queue = std::make_unique<CMyCommandQueue>();
        if (journal) {
            db::JournalOptions options;
            options.dir = dir + "/journal";
            std::string error;
            queue->AttachJournal(db::CStatementJournal::Open(options, nullptr, error));
        }
        state.ResumeTiming();
        for (int b = 0; b < kBatches; ++b) {
            for (const auto& f : fixes) {
                queue->Push(f);
            }
        }
        state.PauseTiming();
        queue.reset();
        std::filesystem::remove_all(dir);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kBatch * kBatches);
}

void SyncLatency(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    constexpr int kPerSecond = 5000;
    constexpr int kTotal = 2 * kPerSecond;
    const auto fixes = Fixes();
    for (auto _ : state) {
        const std::string dir = TempDir();
        db::JournalOptions options;
        options.dir = dir + "/journal";
        std::string error;
        auto journal = db::CStatementJournal::Open(options, nullptr, error);
        if (!journal) {
            state.SkipWithError(error.c_str());
            return;
        }
        std::vector<Clock::time_point> appended(kTotal + 1);
        std::vector<double> waitedMs(kTotal + 1, 0);
        std::atomic<std::uint64_t> last{0};
        std::atomic<bool> done{false};
        std::thread watcher([&] {
            std::uint64_t seen = 0;
            while (!done.load() || seen < last.load()) {
                const std::uint64_t synced = std::min(journal->SyncedUpTo(), last.load());
                const auto now = Clock::now();
                for (; seen < synced; ++seen) {
                    waitedMs[seen + 1] =
                        std::chrono::duration<double, std::milli>(now - appended[seen + 1]).count();
                }
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
        const auto t0 = Clock::now();
        for (int i = 0; i < kTotal; ++i) {
            std::this_thread::sleep_until(t0 +
                                          std::chrono::microseconds(1'000'000LL * i / kPerSecond));
            const auto at = Clock::now();
            const std::uint64_t seq = journal->NextSeq();
            appended[seq] = at;
            journal->Append(fixes[static_cast<std::size_t>(i) % fixes.size()]);
            last.store(seq);
        }
        done = true;
        watcher.join();
        std::vector<double> sorted(waitedMs.begin() + 1, waitedMs.end());
        std::sort(sorted.begin(), sorted.end());
        state.counters["p50_ms"] = sorted[sorted.size() / 2];
        state.counters["p99_ms"] = sorted[sorted.size() * 99 / 100];
        state.counters["max_ms"] = sorted.back();
        journal.reset();
        std::filesystem::remove_all(dir);
    }
}

BENCHMARK(SyncLatency)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK_CAPTURE(WindowPush, memory, false)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK_CAPTURE(WindowPush, journal, true)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(Segments)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(SqliteWal)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
