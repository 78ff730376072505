// The worker with one commit per statement beside the worker with group
// commit, in the same run, over each backend:
//
//   GroupCommit/<backend>/<size>  statements per second with groups of up to
//                                 <size>, against one by one; a batch of each
//                                 per iteration, alternating which goes first;
//                                 the median batch of each
//   Latency/<backend>             5,000 fixes a second, paced as notifications
//                                 arrive; time from the push to the commit
//                                 (p50, p99, max), grouped and one by one
//
//   scripts/pg-test-server start /tmp/pgb
//   VARDO_TEST_PG_DIR=/tmp/pgb build/bin/db_group_bench
//   VARDO_BENCH_TSV=FILE also writes the figures as tab-separated lines
//   (bench/db/plot draws docs/group-commit.png from them).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "bench/db/bench_databases.h"
#include "db/db_worker.h"

namespace {

using dbbench::Backend;
using SteadyClock = std::chrono::steady_clock;

double Seconds(SteadyClock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// A worker on a connection of its own, fed from this thread, telling when
// the statements pushed so far have all left the queue.
class Lane {
public:
    Lane(const std::string& connectionString, db::WorkerOptions options)
        : m_worker(m_queue, m_conn, connectionString, options) {
        m_worker.SetOutcomeSink([this](const db::SqlCommand& c, bool committed) {
            if (m_recordLatency) {
                m_latencies.push_back(
                    std::chrono::duration<double, std::milli>(db::Clock::now() - c.builtAt())
                        .count());
            }
            m_failed += committed ? 0 : 1;
            std::lock_guard lock(m_mutex);
            if (++m_finished == m_target) {
                m_cv.notify_all();
            }
        });
        m_open = m_conn.Open(connectionString, 15) && m_worker.Start();
    }
    ~Lane() {
        m_worker.Stop(10000);
        m_conn.Close();
    }

    bool Ok() const { return m_open; }
    std::string Error() const {
        return m_conn.LastError().empty() ? m_worker.LastError() : m_conn.LastError();
    }

    void Push(db::SqlCommand c) {
        {
            std::lock_guard lock(m_mutex);
            ++m_target;
        }
        m_queue.Push(std::move(c));
    }
    void WaitAll() {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [&] { return m_finished == m_target; });
    }

    // The latencies are written on the worker thread: read them after WaitAll.
    void RecordLatency(bool on) { m_recordLatency = on; }
    std::vector<double>& Latencies() { return m_latencies; }
    std::uint64_t Failed() const { return m_failed; }
    db::WorkerCounters Counters() const { return m_worker.Counters(); }

private:
    CMyDbConnection m_conn;
    CMyCommandQueue m_queue;
    CDbWorker m_worker;
    bool m_open = false;
    std::atomic<bool> m_recordLatency{false};
    std::vector<double> m_latencies;  // worker thread while it runs
    std::atomic<std::uint64_t> m_failed{0};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::uint64_t m_target = 0;    // guarded by m_mutex
    std::uint64_t m_finished = 0;  // guarded by m_mutex
};

db::WorkerOptions Options(bool grouped, std::size_t groupSize) {
    db::WorkerOptions o;
    o.groupCommit = grouped;
    o.groupSize = groupSize;
    return o;
}

std::string FileName(const char* mode, std::size_t groupSize) {
    return std::string(mode) + "-" + std::to_string(groupSize) + ".db";
}

bool Skip(benchmark::State& state, Backend backend) {
    if (!dbbench::SkipReason(backend).empty()) {
        state.SkipWithError(dbbench::SkipReason(backend).c_str());
        return true;
    }
    return false;
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// --- throughput against group size ------------------------------------------

void GroupCommit(benchmark::State& state, Backend backend, std::size_t groupSize) {
    if (Skip(state, backend)) {
        return;
    }
    // Each side runs long enough (about 0.1 to 1 s) to hold many commits.
    const bool sqlite = backend == Backend::Sqlite;
    const int groupedBatch = sqlite ? 20000 : 4000;
    const int singleBatch = sqlite ? 4000 : 800;
    Lane grouped(dbbench::ConnectionString(backend, FileName("grouped", groupSize)),
                 Options(true, groupSize));
    Lane single(dbbench::ConnectionString(backend, FileName("single", groupSize)),
                Options(false, groupSize));
    if (!grouped.Ok() || !single.Ok()) {
        state.SkipWithError((grouped.Error() + single.Error()).c_str());
        return;
    }

    // The rate of each batch; the median stands for the run, so that a
    // stall of the shared disk in one batch does not bend the curve.
    std::vector<double> groupedRates;
    std::vector<double> singleRates;
    std::uint64_t groupedDone = 0;
    bool groupedFirst = true;
    auto run = [](Lane& lane, int count) {
        auto batch = dbbench::MakeFixes(count);
        const auto t0 = SteadyClock::now();
        for (auto& c : batch) {
            lane.Push(std::move(c));
        }
        lane.WaitAll();
        return Seconds(SteadyClock::now() - t0);
    };
    for (auto _ : state) {
        double seconds = 0;
        for (int side = 0; side < 2; ++side) {
            if ((side == 0) == groupedFirst) {
                const double s = run(grouped, groupedBatch);
                groupedRates.push_back(groupedBatch / s);
                groupedDone += static_cast<std::uint64_t>(groupedBatch);
                seconds += s;
            } else {
                const double s = run(single, singleBatch);
                singleRates.push_back(singleBatch / s);
                seconds += s;
            }
        }
        groupedFirst = !groupedFirst;
        state.SetIterationTime(seconds);
    }
    if (grouped.Failed() + single.Failed() != 0) {
        state.SkipWithError("statements were rejected");
        return;
    }
    const double groupedRate = Median(groupedRates);
    const double singleRate = Median(singleRates);
    const auto commits = grouped.Counters().commits;
    state.counters["grouped/s"] = groupedRate;
    state.counters["one-by-one/s"] = singleRate;
    state.counters["ratio"] = groupedRate / singleRate;
    state.counters["per_commit"] =
        commits == 0 ? 0.0 : static_cast<double>(groupedDone) / static_cast<double>(commits);
}

// --- latency at a steady 5,000 fixes a second ---------------------------------

double Percentile(std::vector<double>& v, double p) {
    if (v.empty()) {
        return 0;
    }
    const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

void Latency(benchmark::State& state, Backend backend) {
    if (Skip(state, backend)) {
        return;
    }
    constexpr int kPerSecond = 5000;
    constexpr int kPerTick = 5;  // every millisecond, as notifications come in bursts
    constexpr auto kSpan = std::chrono::seconds(2);
    Lane grouped(dbbench::ConnectionString(backend, "latency-grouped.db"),
                 Options(true, db::kDefaultGroupSize));
    Lane single(dbbench::ConnectionString(backend, "latency-single.db"),
                Options(false, db::kDefaultGroupSize));
    if (!grouped.Ok() || !single.Ok()) {
        state.SkipWithError((grouped.Error() + single.Error()).c_str());
        return;
    }
    grouped.RecordLatency(true);
    single.RecordLatency(true);
    auto batch = dbbench::MakeFixes(500);
    auto pace = [&](Lane& lane) {
        const auto t0 = SteadyClock::now();
        const int total = kPerSecond * static_cast<int>(kSpan.count());
        for (int i = 0; i < total;) {
            // Push what is due by now; a late wake-up catches up at once.
            const auto due = t0 + std::chrono::microseconds(1'000'000LL * i / kPerSecond);
            std::this_thread::sleep_until(due);
            for (int k = 0; k < kPerTick && i < total; ++k, ++i) {
                const auto& proto = batch[static_cast<std::size_t>(i) % batch.size()];
                lane.Push(db::SqlCommand(proto.procedure(), proto.params()));
            }
        }
        lane.WaitAll();
        return Seconds(SteadyClock::now() - t0);
    };
    bool groupedFirst = true;
    for (auto _ : state) {
        double seconds = 0;
        if (groupedFirst) {
            seconds += pace(grouped);
            seconds += pace(single);
        } else {
            seconds += pace(single);
            seconds += pace(grouped);
        }
        groupedFirst = !groupedFirst;
        state.SetIterationTime(seconds);
    }
    auto& g = grouped.Latencies();
    auto& s = single.Latencies();
    state.counters["grouped_p50_ms"] = Percentile(g, 0.50);
    state.counters["grouped_p99_ms"] = Percentile(g, 0.99);
    state.counters["grouped_max_ms"] = g.empty() ? 0 : *std::max_element(g.begin(), g.end());
    state.counters["one-by-one_p50_ms"] = Percentile(s, 0.50);
    state.counters["one-by-one_p99_ms"] = Percentile(s, 0.99);
    state.counters["one-by-one_max_ms"] = s.empty() ? 0 : *std::max_element(s.begin(), s.end());
    const auto commits = grouped.Counters().commits;
    state.counters["per_commit"] =
        commits == 0 ? 0.0 : static_cast<double>(g.size()) / static_cast<double>(commits);
}

// --- the figures for the plot ------------------------------------------------

// Prints as usual and keeps each run's counters as one tab-separated line:
//   name  counter=value ...
class TsvReporter : public benchmark::ConsoleReporter {
public:
    explicit TsvReporter(const char* path) : m_out(path) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            m_out << run.benchmark_name();
            for (const auto& [name, counter] : run.counters) {
                m_out << '\t' << name << '=' << counter.value;
            }
            m_out << '\n' << std::flush;
        }
    }

private:
    std::ofstream m_out;
};

constexpr std::size_t kSizes[] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024};
constexpr Backend kBackends[] = {Backend::Sqlite, Backend::Postgresql, Backend::Odbc};

}  // namespace

int main(int argc, char** argv) {
    for (Backend backend : kBackends) {
        for (std::size_t size : kSizes) {
            benchmark::RegisterBenchmark(
                ("GroupCommit/" + std::string(dbbench::Name(backend)) + "/" + std::to_string(size))
                    .c_str(),
                [backend, size](benchmark::State& s) { GroupCommit(s, backend, size); })
                ->Iterations(6)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (Backend backend : kBackends) {
        benchmark::RegisterBenchmark(("Latency/" + std::string(dbbench::Name(backend))).c_str(),
                                     [backend](benchmark::State& s) { Latency(s, backend); })
            ->Iterations(2)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    if (!dbbench::SetUp()) {
        return 1;
    }
    const char* tsv = std::getenv("VARDO_BENCH_TSV");
    if (tsv != nullptr && *tsv != '\0') {
        TsvReporter reporter(tsv);
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } else {
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    dbbench::TearDown();
    return 0;
}
