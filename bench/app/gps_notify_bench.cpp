// The cost of one GPS notification on the window thread: 10,000 devices
// online, the scripted device library, the dialog on the headless host.
// Baselines in the same run: a notification of a kind that is ignored
// (dispatch and the activity check only) and the RMC parser alone.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "app/event_server_dlg.h"
#include "app/res/resource.h"
#include "gps/rmc_parser.h"
#include "testsupport/config/temp_program_dir.h"
#include "testsupport/scripted_device/scripted_device.h"
#include "ui/headless/headless_application.h"

namespace {

constexpr int kDevices = 10'000;
const char* const kGps = "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D";

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

class Server {
public:
    explicit Server(Sink sink)
        : application_(app::res::Resources(), "vardo-event-server-bench"), dlg_(sink) {
        home_.writeConfig({{"EventServer_ConnectString", "sqlite:bench.db"}});
        scripted::Reset();
        scripted::SetCallLog(false);
        application_.SetMessageBoxSink([](const ui::headless::MessageBoxRecord&) {});
        dlg_.Create();
        host_ = ui::headless::HostOf(dlg_);
        host_->PressButton(IDOK);
        for (int i = 0; i < kDevices; ++i) {
            const auto dev = scripted::AddDevice({.name = "DEV" + std::to_string(100000 + i),
                                                  .vehicle = "V" + std::to_string(i),
                                                  .driver = "Driver",
                                                  .channels = 4,
                                                  .gps = kGps});
            devices_.push_back(dev);
            host_->Send(WM_DEVICE_NOTIFY, NOTIFY_DEVICE_ONLINE, static_cast<LPARAM>(dev));
        }
    }
    ~Server() {
        host_->PressKey(ui::headless::Key::Escape);
        dlg_.DestroyWindow();
    }

    ui::headless::HeadlessHost& Host() { return *host_; }
    HVARDODEV Device(std::size_t i) const { return devices_[i % devices_.size()]; }
    bool Ok() const { return dlg_.IsServiceStarted() && dlg_.GetDevices().size() == kDevices; }

private:
    testsupport::TempProgramDir home_;  // first made, last gone
    ui::headless::HeadlessApplication application_;
    BenchDlg dlg_;
    ui::headless::HeadlessHost* host_ = nullptr;
    std::vector<HVARDODEV> devices_;
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

void BM_ParseGPRMC(benchmark::State& state) {
    double lat = 0, lon = 0, speed = 0, course = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ParseGPRMC(kGps, &lat, &lon, &speed, &course));
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ParseGPRMC);
BENCHMARK(BM_IgnoredNotification);
BENCHMARK(BM_GpsNotification);
BENCHMARK(BM_GpsNotificationWithQueuePush);
BENCHMARK(BM_GpsNotificationPostedAndDelivered);

}  // namespace

BENCHMARK_MAIN();
