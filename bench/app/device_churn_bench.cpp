// Devices that go offline and come back: what the window keeps for them and
// what the one-second timer costs afterwards. 1,000 devices, the scripted
// device library, the dialog on the headless host, statements built and
// discarded.
//
// BM_TimerTickAfterChurn/0 is the baseline of the same run (no device has
// gone offline); /100000 follows 100,000 offline/online cycles spread over
// the devices; BM_TimerTickAfterAlarmChurn/100000 the same with an alarm
// before each drop, so that every device leaves while its row records (a
// vehicle losing its link during an alarm). The counters:
//   rows            rows (and records) the window holds
//   heap_growth_MB  heap in use gained by the churn
//   rss_growth_MB   resident memory gained by the churn
// and the time is that of one timer tick (CPU time is the one to compare on a
// loaded machine). Flat means /100000 matches /0.

#include <benchmark/benchmark.h>
#include <malloc.h>

#include "bench/common/headless_server.h"
#include "bench/common/process_stats.h"

namespace {

constexpr int kDevices = 1'000;

class DiscardingDlg : public CMyVardoEventServerDlg {
protected:
    bool StartWorker() override { return true; }
    void QueueStatement(db::SqlCommand command) override { benchmark::DoNotOptimize(command); }
};

// Heap bytes in use: exact, where resident memory also counts what an
// earlier run freed and the allocator kept.
double HeapBytes() {
    return static_cast<double>(mallinfo2().uordblks);
}

// Resident memory of this process, in bytes.
double ResidentBytes() {
    return benchproc::rssMiB(getpid()) * 1024 * 1024;
}

// 1,000 devices online with four channels each, as a fleet that records
// everything would.
class Server : public benchserver::HeadlessServer<DiscardingDlg> {
public:
    Server() : HeadlessServer(Settings{{"EventServer_ConnectString", "sqlite:bench.db"}}) {
        for (const int box : {IDC_CHN02, IDC_CHN03, IDC_CHN04}) {
            Host().PressButton(box);
        }
        Host().PressButton(IDOK);
        AddDevices(kDevices, "DEV", 100000, /*online=*/true);
    }

    void Churn(long cycles, bool alarms) {
        for (long i = 0; i < cycles; ++i) {
            const HVARDODEV dev = Device(static_cast<std::size_t>(i));
            if (alarms) {
                Notify(NOTIFY_ALARM_FIRST, dev);
            }
            Notify(NOTIFY_DEVICE_OFFLINE, dev);
            Notify(NOTIFY_DEVICE_ONLINE, dev);
        }
    }
    void Tick() { Host().Send(WM_TIMER, 1, 0); }
    std::size_t Rows() const { return Dialog().GetDevices().size(); }
    bool Ok() const { return Dialog().IsServiceStarted() && Rows() == kDevices; }
};

void TickAfterChurn(benchmark::State& state, bool alarms) {
    Server server;
    if (!server.Ok()) {
        state.SkipWithError("service did not start");
        return;
    }
    const double rssBefore = ResidentBytes();
    const double heapBefore = HeapBytes();
    server.Churn(state.range(0), alarms);
    const double heapAfter = HeapBytes();
    const double rssAfter = ResidentBytes();
    for (auto _ : state) {
        server.Tick();
    }
    constexpr double kMiB = 1024.0 * 1024.0;
    state.counters["rows"] = static_cast<double>(server.Rows());
    state.counters["heap_growth_MB"] = (heapAfter - heapBefore) / kMiB;
    state.counters["rss_growth_MB"] = (rssAfter - rssBefore) / kMiB;
}

void BM_TimerTickAfterChurn(benchmark::State& state) {
    TickAfterChurn(state, false);
}

void BM_TimerTickAfterAlarmChurn(benchmark::State& state) {
    TickAfterChurn(state, true);
}

// A fixed number of ticks, so that each case builds its server once and the
// memory figures are not blurred by an earlier trial run of the same case.
BENCHMARK(BM_TimerTickAfterChurn)
    ->Arg(0)
    ->Arg(100'000)
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TimerTickAfterAlarmChurn)
    ->Arg(100'000)
    ->Iterations(1000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
