// The window thread under load: 10,000 devices in the list and GPS updates
// posted by the device library's thread at a steady rate (10,000 a second
// unless told otherwise), the main dialog on the Qt host with its window
// shown on the offscreen platform, which really paints. Reported: the
// window thread's CPU time as a share of one core, the updates it handled a
// second, and the list's repaints a second. Baselines in the same run: the
// same load on the headless host (no widgets at all) and the Qt window with
// its 10,000 rows and no updates.
//
//   vardo_ui_qt_bench [--seconds=N] [--rate=N] [benchmark flags]

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <time.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QEvent>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/event_server_dlg.h"
#include "app/res/resource.h"
#include "gps/nmea_checksum.h"
#include "testsupport/config/temp_program_dir.h"
#include "testsupport/scripted_device/scripted_device.h"
#include "ui/headless/headless_application.h"
#include "ui/qt/qt_application.h"
#include "ui/qt/qt_host.h"
#include "ui/qt/report_view.h"

namespace {

constexpr int kDevices = 10'000;
constexpr UINT kMarkStart = WM_USER + 0x7F0;
constexpr UINT kMarkEnd = WM_USER + 0x7F1;
constexpr auto kBatchPeriod = std::chrono::milliseconds(10);

int g_seconds = 3;
int g_rate = 10'000;

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// An RMC sentence for second `n` of the day, with its checksum.
std::string Sentence(std::uint64_t n) {
    char body[96];
    std::snprintf(body, sizeof body,
                  "GPRMC,%02u%02u%02u.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A",
                  static_cast<unsigned>(n / 3600 % 24), static_cast<unsigned>(n / 60 % 60),
                  static_cast<unsigned>(n % 60));
    return std::string("$") + body + "*" + gps::nmeaChecksum(body);
}

// The main dialog without a database worker (its statements are built and
// dropped: the worker is another thread's work) that notes what the window
// thread did between two marks.
class BenchDlg : public CMyVardoEventServerDlg {
public:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == kMarkStart) {
            cpuStart = ThreadCpuSeconds();
            wallStart = WallSeconds();
            updates = 0;
            measuring = true;
            return 0;
        }
        if (message == kMarkEnd) {
            cpuEnd = ThreadCpuSeconds();
            wallEnd = WallSeconds();
            measuring = false;
            return 0;
        }
        if (message == WM_DEVICE_NOTIFY && wParam == NOTIFY_DEVICE_GPS && measuring) {
            ++updates;
        }
        return CMyVardoEventServerDlg::WindowProc(message, wParam, lParam);
    }

    double cpuStart = 0, cpuEnd = 0, wallStart = 0, wallEnd = 0;
    std::uint64_t updates = 0;
    bool measuring = false;

protected:
    bool StartWorker() override { return true; }
    void QueueStatement(db::SqlCommand command) override { benchmark::DoNotOptimize(command); }
};

// Posts, from a thread of its own as the device library does: the start
// mark, `rate` GPS updates a second in batches every 10 ms, the end mark,
// and the close. Each round reaches every device once, in an order of its
// own, as fixes from independent devices arrive; each fix is a new sentence.
void Feed(CDialog& dlg, std::vector<HVARDODEV> devices, int rate, int seconds) {
    const int perBatch = rate / 100;
    const int batches = seconds * 100;
    std::mt19937 random(20261208);
    dlg.PostMessage(kMarkStart);
    auto next = std::chrono::steady_clock::now();
    std::uint64_t n = 0;
    for (int batch = 0; batch < batches; ++batch) {
        for (int i = 0; i < perBatch; ++i, ++n) {
            const std::size_t turn = n % devices.size();
            if (turn == 0) {
                std::shuffle(devices.begin(), devices.end(), random);
            }
            const HVARDODEV dev = devices[turn];
            scripted::SetInfo(dev, DEVINFO_GPS, Sentence(n / devices.size()));
            scripted::Notify(NOTIFY_DEVICE_GPS, dev);
        }
        next += kBatchPeriod;
        std::this_thread::sleep_until(next);
    }
    dlg.PostMessage(kMarkEnd);
    dlg.PostMessage(WM_CLOSE);
}

// The program directory of one run: Config.ini on a SQLite file of its own.
class ProgramDir {
public:
    ProgramDir() { home_.writeConfig({{"EventServer_ConnectString", "sqlite:bench.db"}}); }

private:
    testsupport::TempProgramDir home_;
};

std::vector<HVARDODEV> AddDevices() {
    std::vector<HVARDODEV> devices;
    for (int i = 0; i < kDevices; ++i) {
        devices.push_back(scripted::AddDevice({.name = "DEV" + std::to_string(100000 + i),
                                               .vehicle = "V" + std::to_string(i),
                                               .driver = "Driver " + std::to_string(i % 97),
                                               .channels = 4,
                                               .gps = Sentence(0)}));
    }
    return devices;
}

void Report(benchmark::State& state, const BenchDlg& dlg, double repaints) {
    const double wall = dlg.wallEnd - dlg.wallStart;
    const double cpu = dlg.cpuEnd - dlg.cpuStart;
    state.SetIterationTime(wall);
    state.counters["window_cpu_share"] = wall > 0 ? cpu / wall : 0;
    state.counters["updates_per_s"] = wall > 0 ? static_cast<double>(dlg.updates) / wall : 0;
    if (repaints >= 0) {
        state.counters["repaints_per_s"] = wall > 0 ? repaints / wall : 0;
    }
}

// Counts the list's repaints.
class PaintCounter final : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return QObject::eventFilter(watched, event);
    }
    std::uint64_t paints = 0;
};

void RunQt(benchmark::State& state, int rate) {
    for (auto _ : state) {
        ProgramDir home;
        scripted::Reset();
        scripted::SetCallLog(false);
        ui::qt::QtApplication application(app::res::Resources(), "vardo-event-server-bench");
        application.SetMessageBoxHook([](auto&) {});
        BenchDlg dlg;
        if (!dlg.Create()) {
            state.SkipWithError("the window did not open");
            return;
        }
        ui::qt::QtDialogHost* host = ui::qt::HostOf(dlg);
        dlg.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED));
        const std::vector<HVARDODEV> devices = AddDevices();
        for (HVARDODEV dev : devices) {
            scripted::Notify(NOTIFY_DEVICE_ONLINE, dev);
        }
        ui::qt::ReportView* list = host->List(IDC_DEVICE_LIST);
        while (list->Model().PublishedRows() < kDevices) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        if (!dlg.IsServiceStarted() || list->GetItemCount() != kDevices) {
            state.SkipWithError("the service did not start");
            return;
        }
        PaintCounter counter;
        list->viewport()->installEventFilter(&counter);
        std::thread feeder(Feed, std::ref(dlg), devices, rate, g_seconds);
        host->RunModalLoop();
        feeder.join();
        Report(state, dlg, static_cast<double>(counter.paints));
        list = nullptr;
        dlg.DestroyWindow();
    }
}

void RunHeadless(benchmark::State& state, int rate) {
    for (auto _ : state) {
        ProgramDir home;
        scripted::Reset();
        scripted::SetCallLog(false);
        ui::headless::HeadlessApplication application(app::res::Resources(),
                                                      "vardo-event-server-bench");
        application.SetMessageBoxSink([](const auto&) {});
        BenchDlg dlg;
        dlg.Create();
        ui::headless::HeadlessHost* host = ui::headless::HostOf(dlg);
        host->PressButton(IDOK);
        const std::vector<HVARDODEV> devices = AddDevices();
        for (HVARDODEV dev : devices) {
            scripted::Notify(NOTIFY_DEVICE_ONLINE, dev);
        }
        host->RunUntilIdle();
        if (!dlg.IsServiceStarted() || dlg.GetDevices().size() != kDevices) {
            state.SkipWithError("the service did not start");
            return;
        }
        std::thread feeder(Feed, std::ref(dlg), devices, rate, g_seconds);
        host->RunModalLoop();
        feeder.join();
        Report(state, dlg, -1);
        dlg.DestroyWindow();
    }
}

void BM_HeadlessHostUnderGpsLoad(benchmark::State& state) {
    RunHeadless(state, g_rate);
}
void BM_QtWindowIdleWithFullList(benchmark::State& state) {
    RunQt(state, 0);
}
void BM_QtWindowUnderGpsLoad(benchmark::State& state) {
    RunQt(state, g_rate);
}

BENCHMARK(BM_HeadlessHostUnderGpsLoad)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_QtWindowIdleWithFullList)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_QtWindowUnderGpsLoad)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

bool TakeOption(std::string_view arg, std::string_view name, int* value) {
    if (!arg.starts_with(name)) {
        return false;
    }
    *value = std::atoi(std::string(arg.substr(name.size())).c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (!TakeOption(argv[i], "--seconds=", &g_seconds) &&
            !TakeOption(argv[i], "--rate=", &g_rate)) {
            rest.push_back(argv[i]);
        }
    }
    if (g_seconds <= 0 || g_rate < 0) {
        std::fprintf(stderr, "--seconds must be positive and --rate not negative\n");
        return 2;
    }
    int restCount = static_cast<int>(rest.size());
    QApplication qtApp(restCount, rest.data());
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
