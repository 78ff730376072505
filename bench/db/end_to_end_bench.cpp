// GPS notifications through the whole server to the database: a device
// thread posts them as the device library does, the window thread runs the
// real dialog (parse, statement, queue), the worker commits. The device
// library is the scripted one of the tests, so the network is left out.
// One commit per statement and group commit alternate in the same run:
//
//   EndToEnd/<backend>          fixes committed per second with the pipeline
//                               kept full (at most 20,000 in flight)
//   EndToEndLatency/<backend>   5,000 fixes a second; time from posting the
//                               notification to its commit (p50, p99, max)
//   Journal/<backend>           group commit with the statement journal on and
//                               off (EventServer_Journal), alternating in the
//                               same run: fixes per second and their ratio,
//                               p50 and p99 notification -> commit at 5,000 a
//                               second (the worst of the iterations),
//                               and the journal's bytes per fix
//
//   scripts/pg-test-server start /tmp/pgb
//   VARDO_TEST_PG_DIR=/tmp/pgb build/bin/db_end_to_end_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "bench/common/headless_server.h"
#include "bench/db/bench_databases.h"

namespace {

using dbbench::Backend;
using SteadyClock = std::chrono::steady_clock;

constexpr int kDevices = 1000;

// The server on the headless host; this thread is its window thread.
class Server : public benchserver::HeadlessServer<> {
public:
    explicit Server(const std::string& connectionString, bool journal = false)
        : HeadlessServer(Settings{{"EventServer_ConnectString", connectionString},
                                  {"EventServer_Journal", journal ? "1" : "0"}}) {
        AddDevices(kDevices, "E2E", 10000, /*online=*/false);
    }
    ~Server() {
        if (Dialog().IsServiceStarted()) {
            Host().PressButton(IDOK);
        }
    }

    // Starts the service with these options and brings every device online
    // with its first fix (which also reports it online), so that from then
    // on each GPS notification makes exactly one statement.
    bool Start(bool grouped) {
        db::WorkerOptions options;
        options.groupCommit = grouped;
        Dialog().SetWorkerOptions(options);
        Host().PressButton(IDOK);
        if (!Dialog().IsServiceStarted()) {
            return false;
        }
        for (HVARDODEV dev : Devices()) {
            Notify(NOTIFY_DEVICE_ONLINE, dev);
            Notify(NOTIFY_DEVICE_GPS, dev);
        }
        while (Dialog().GetWorkerCounters().pending != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
    void Stop() { Host().PressButton(IDOK); }

    // Any thread.
    std::uint64_t Committed() const { return Dialog().GetWorkerCounters().executed; }
    std::uint64_t Commits() const { return Dialog().GetWorkerCounters().commits; }
    std::uint64_t Rejected() const { return Dialog().GetWorkerCounters().rejected; }
    // As the device library's thread does.
    void Post(std::size_t i) {
        Host().PostMessage(WM_DEVICE_NOTIFY, NOTIFY_DEVICE_GPS, static_cast<LPARAM>(Device(i)));
    }

    // Window thread: delivers messages until `done` holds.
    template <typename Done>
    void RunUntil(Done done) {
        while (!done()) {
            if (Host().RunUntilIdle() == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        }
    }
};

bool StartOrSkip(benchmark::State& state, Server& server, bool grouped) {
    if (server.Start(grouped)) {
        return true;
    }
    state.SkipWithError(("the service did not start: " + server.Error()).c_str());
    return false;
}

// Runs `measure(grouped)` with group commit on and off in every iteration,
// the order swapped each time so that neither side always follows the other;
// the iteration's time is that of the two measures. Reports the grouped
// side's fixes per commit as "per_commit". False once the service did not
// start (the run is skipped).
template <typename Measure>
bool AlternateGroupCommit(benchmark::State& state, Server& server, Measure measure) {
    std::uint64_t groupedFixes = 0;
    std::uint64_t groupedCommits = 0;
    bool groupedFirst = true;
    for (auto _ : state) {
        double seconds = 0;
        for (int side = 0; side < 2; ++side) {
            const bool g = (side == 0) == groupedFirst;
            if (!StartOrSkip(state, server, g)) {
                return false;
            }
            const auto fixes = server.Committed();
            const auto commits = server.Commits();
            const auto t0 = SteadyClock::now();
            measure(g);
            seconds += std::chrono::duration<double>(SteadyClock::now() - t0).count();
            if (g) {
                groupedFixes += server.Committed() - fixes;
                groupedCommits += server.Commits() - commits;
            }
            server.Stop();
        }
        groupedFirst = !groupedFirst;
        state.SetIterationTime(seconds);
    }
    state.counters["per_commit"] = groupedCommits == 0 ? 0.0
                                                       : static_cast<double>(groupedFixes) /
                                                             static_cast<double>(groupedCommits);
    return true;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// --- throughput --------------------------------------------------------------

// Fixes committed per second over `span`, the device thread keeping at most
// kInFlight notifications ahead of the commits.
double Saturated(Server& server, std::chrono::milliseconds span) {
    constexpr std::uint64_t kInFlight = 20000;
    const std::uint64_t base = server.Committed();
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> posted{0};
    std::thread device([&] {
        std::size_t i = 0;
        while (!stop) {
            if (posted - (server.Committed() - base) < kInFlight) {
                for (int k = 0; k < 100; ++k) {
                    server.Post(i++);
                }
                posted += 100;
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
    });
    // A first stretch fills the pipeline; then the measured one.
    const auto warm = SteadyClock::now() + std::chrono::milliseconds(300);
    server.RunUntil([&] { return SteadyClock::now() >= warm; });
    const std::uint64_t from = server.Committed();
    const auto t0 = SteadyClock::now();
    server.RunUntil([&] { return SteadyClock::now() >= t0 + span; });
    const std::uint64_t to = server.Committed();
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - t0).count();
    stop = true;
    device.join();
    // Let what is in flight land before the service stops.
    server.RunUntil([&] { return server.Committed() - base >= posted; });
    return static_cast<double>(to - from) / seconds;
}

void EndToEnd(benchmark::State& state, Backend backend) {
    if (!dbbench::SkipReason(backend).empty()) {
        state.SkipWithError(dbbench::SkipReason(backend).c_str());
        return;
    }
    Server server(dbbench::ConnectionString(backend, "e2e.db"));
    std::vector<double> grouped;
    std::vector<double> single;
    if (!AlternateGroupCommit(state, server, [&](bool g) {
            (g ? grouped : single).push_back(Saturated(server, std::chrono::seconds(2)));
        })) {
        return;
    }
    state.counters["grouped/s"] = Median(grouped);
    state.counters["one-by-one/s"] = Median(single);
    state.counters["ratio"] = Median(grouped) / Median(single);
}

// --- latency at 5,000 fixes a second -------------------------------------------

struct Latencies {
    double p50 = 0, p99 = 0, max = 0;
};

Latencies Paced(Server& server, std::chrono::seconds span) {
    constexpr int kPerSecond = 5000;
    constexpr int kPerTick = 5;
    const std::size_t total = static_cast<std::size_t>(kPerSecond * span.count());
    std::vector<SteadyClock::time_point> postedAt(total);
    std::vector<double> latencyMs(total, -1.0);
    const std::uint64_t base = server.Committed();
    std::atomic<bool> done{false};
    // The device thread posts on schedule and, between posts, notes the
    // commits that arrived: statements commit in the order of their
    // notifications, so the k-th commit is the k-th fix.
    std::thread device([&] {
        std::size_t next = 0;
        std::size_t seen = 0;
        const auto t0 = SteadyClock::now();
        auto note = [&] {
            const auto committed = static_cast<std::size_t>(server.Committed() - base);
            const auto now = SteadyClock::now();
            for (; seen < std::min(committed, next); ++seen) {
                latencyMs[seen] =
                    std::chrono::duration<double, std::milli>(now - postedAt[seen]).count();
            }
        };
        while (next < total) {
            const auto due = t0 + std::chrono::microseconds(
                                      1'000'000LL * static_cast<long long>(next) / kPerSecond);
            while (SteadyClock::now() < due) {
                note();
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            for (int k = 0; k < kPerTick && next < total; ++k, ++next) {
                postedAt[next] = SteadyClock::now();
                server.Post(next);
            }
        }
        while (seen < total) {
            note();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        done = true;
    });
    server.RunUntil([&] { return done.load(); });
    device.join();
    Latencies out;
    std::sort(latencyMs.begin(), latencyMs.end());
    out.p50 = latencyMs[total / 2];
    out.p99 = latencyMs[total * 99 / 100];
    out.max = latencyMs.back();
    return out;
}

void EndToEndLatency(benchmark::State& state, Backend backend) {
    if (!dbbench::SkipReason(backend).empty()) {
        state.SkipWithError(dbbench::SkipReason(backend).c_str());
        return;
    }
    Server server(dbbench::ConnectionString(backend, "e2e-latency.db"));
    Latencies grouped;
    Latencies single;
    if (!AlternateGroupCommit(state, server, [&](bool g) {
            const Latencies l = Paced(server, std::chrono::seconds(3));
            // The worse of the runs stands.
            Latencies& keep = g ? grouped : single;
            keep.p50 = std::max(keep.p50, l.p50);
            keep.p99 = std::max(keep.p99, l.p99);
            keep.max = std::max(keep.max, l.max);
        })) {
        return;
    }
    state.counters["grouped_p50_ms"] = grouped.p50;
    state.counters["grouped_p99_ms"] = grouped.p99;
    state.counters["grouped_max_ms"] = grouped.max;
    state.counters["one-by-one_p50_ms"] = single.p50;
    state.counters["one-by-one_p99_ms"] = single.p99;
    state.counters["one-by-one_max_ms"] = single.max;
}

// --- the statement journal -----------------------------------------------------

// Bytes the journal's folder holds now.
std::uint64_t JournalBytes(const Server& server) {
    std::uint64_t total = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(server.Dir() + "journal", ec)) {
        total += e.file_size(ec);
    }
    return total;
}

void Journal(benchmark::State& state, Backend backend) {
    if (!dbbench::SkipReason(backend).empty()) {
        state.SkipWithError(dbbench::SkipReason(backend).c_str());
        return;
    }
    std::vector<double> with;
    std::vector<double> without;
    double p99With = 0;
    double p99Without = 0;
    double p50With = 0;
    double p50Without = 0;
    double bytesPerFix = 0;
    bool journalFirst = true;
    for (auto _ : state) {
        double seconds = 0;
        for (int side = 0; side < 2; ++side) {
            const bool journal = (side == 0) == journalFirst;
            Server server(dbbench::ConnectionString(backend, "e2e-journal.db"), journal);
            if (!StartOrSkip(state, server, true)) {
                return;
            }
            const auto t0 = SteadyClock::now();
            (journal ? with : without).push_back(Saturated(server, std::chrono::seconds(2)));
            const Latencies l = Paced(server, std::chrono::seconds(3));
            double& p99 = journal ? p99With : p99Without;
            p99 = std::max(p99, l.p99);
            double& p50 = journal ? p50With : p50Without;
            p50 = std::max(p50, l.p50);
            seconds += std::chrono::duration<double>(SteadyClock::now() - t0).count();
            if (journal) {
                // The folder before the stop: nothing has been reclaimed
                // while it is one segment, so it holds every record written.
                const std::uint64_t fixes = server.Committed();
                bytesPerFix = static_cast<double>(JournalBytes(server)) /
                              static_cast<double>(std::max<std::uint64_t>(fixes, 1));
            }
            server.Stop();
        }
        journalFirst = !journalFirst;
        state.SetIterationTime(seconds);
    }
    state.counters["journal/s"] = Median(with);
    state.counters["no-journal/s"] = Median(without);
    state.counters["ratio"] = Median(with) / Median(without);
    state.counters["journal_p50_ms"] = p50With;
    state.counters["no-journal_p50_ms"] = p50Without;
    state.counters["journal_p99_ms"] = p99With;
    state.counters["no-journal_p99_ms"] = p99Without;
    state.counters["bytes/fix"] = bytesPerFix;
}

constexpr Backend kBackends[] = {Backend::Sqlite, Backend::Postgresql, Backend::Odbc};

}  // namespace

int main(int argc, char** argv) {
    for (Backend backend : kBackends) {
        benchmark::RegisterBenchmark(("EndToEnd/" + std::string(dbbench::Name(backend))).c_str(),
                                     [backend](benchmark::State& s) { EndToEnd(s, backend); })
            ->Iterations(2)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    for (Backend backend : kBackends) {
        benchmark::RegisterBenchmark(
            ("EndToEndLatency/" + std::string(dbbench::Name(backend))).c_str(),
            [backend](benchmark::State& s) { EndToEndLatency(s, backend); })
            ->Iterations(2)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    for (Backend backend : {Backend::Sqlite, Backend::Postgresql}) {
        benchmark::RegisterBenchmark(("Journal/" + std::string(dbbench::Name(backend))).c_str(),
                                     [backend](benchmark::State& s) { Journal(s, backend); })
            ->Iterations(3)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    return dbbench::RunBenchmarks(argc, argv);
}
