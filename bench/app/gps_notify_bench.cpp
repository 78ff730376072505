// The cost of one GPS notification on the window thread: 10,000 devices
// online, the scripted device library, the dialog on the headless host.
// Baselines in the same run: a notification of a kind that is ignored
// (dispatch and the activity check only) and the RMC parser alone.

#include <benchmark/benchmark.h>

#include <utility>

#include "bench/common/headless_server.h"
#include "gps/rmc_parser.h"

namespace {

constexpr int kDevices = 10'000;

enum class Sink { Discard, Queue };

// The dialog with its statements built as usual and then either discarded
// (the window thread's own work) or pushed onto the real queue with no
// worker taking them off (the push included; past the queue's bound the
// oldest are dropped, as in a long outage).
class BenchDlg : public CMyVardoEventServerDlg {
public:
    explicit BenchDlg(Sink sink) : sink_(sink) {}
    std::size_t built = 0;

protected:
    bool StartWorker() override { return true; }
    void QueueStatement(db::SqlCommand command) override {
        ++built;
        if (sink_ == Sink::Queue) {
            CMyVardoEventServerDlg::QueueStatement(std::move(command));
        } else {
            benchmark::DoNotOptimize(command);
        }
    }

private:
    Sink sink_;
};

// 10,000 devices online.
class Server : public benchserver::HeadlessServer<BenchDlg> {
public:
    explicit Server(Sink sink)
        : HeadlessServer(Settings{{"EventServer_ConnectString", "sqlite:bench.db"}}, sink) {
        Host().PressButton(IDOK);
        AddDevices(kDevices, "DEV", 100000, /*online=*/true);
    }

    bool Ok() const {
        return Dialog().IsServiceStarted() && Dialog().GetDevices().size() == kDevices;
    }
};

void Notify(benchmark::State& state, Sink sink, WPARAM kind) {
    Server server(sink);
    if (!server.Ok()) {
        state.SkipWithError("service did not start");
        return;
    }
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            server.Host().Send(WM_DEVICE_NOTIFY, kind, static_cast<LPARAM>(server.Device(i++))));
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_GpsNotification(benchmark::State& state) {
    Notify(state, Sink::Discard, NOTIFY_DEVICE_GPS);
}
void BM_GpsNotificationWithQueuePush(benchmark::State& state) {
    Notify(state, Sink::Queue, NOTIFY_DEVICE_GPS);
}
void BM_IgnoredNotification(benchmark::State& state) {
    Notify(state, Sink::Discard, 0x84);
}

// Posted from another thread's point of view: into the host's queue and
// delivered by the loop, in batches of 1,000.
void BM_GpsNotificationPostedAndDelivered(benchmark::State& state) {
    Server server(Sink::Discard);
    std::size_t i = 0;
    for (auto _ : state) {
        for (int n = 0; n < 1000; ++n) {
            server.Host().PostMessage(WM_DEVICE_NOTIFY, NOTIFY_DEVICE_GPS,
                                      static_cast<LPARAM>(server.Device(i++)));
        }
        server.Host().RunUntilIdle();
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}

// The same with every statement pushed onto the real queue and its journal,
// `range(0)` notifications posted at a time (a pass of the library's thread
// posts those it decoded together): the journal's writer is woken once a
// batch, so batches of 1 against larger ones give what a wake costs this
// thread (the CPU time counts the system calls too).
void BM_GpsNotificationPostedWithQueuePush(benchmark::State& state) {
    Server server(Sink::Queue);
    if (!server.Ok()) {
        state.SkipWithError("service did not start");
        return;
    }
    const auto batch = static_cast<int>(state.range(0));
    std::size_t i = 0;
    for (auto _ : state) {
        for (int n = 0; n < batch; ++n) {
            server.Host().PostMessage(WM_DEVICE_NOTIFY, NOTIFY_DEVICE_GPS,
                                      static_cast<LPARAM>(server.Device(i++)));
        }
        server.Host().RunUntilIdle();
    }
    state.SetItemsProcessed(state.iterations() * batch);
}

void BM_ParseGPRMC(benchmark::State& state) {
    double lat = 0, lon = 0, speed = 0, course = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ParseGPRMC(benchserver::kGps, &lat, &lon, &speed, &course));
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ParseGPRMC);
BENCHMARK(BM_IgnoredNotification);
BENCHMARK(BM_GpsNotification);
BENCHMARK(BM_GpsNotificationWithQueuePush);
BENCHMARK(BM_GpsNotificationPostedAndDelivered);
BENCHMARK(BM_GpsNotificationPostedWithQueuePush)->Arg(1)->Arg(50);

}  // namespace

BENCHMARK_MAIN();
