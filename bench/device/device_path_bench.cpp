// GPS updates per second from the simulator through the device library to a
// window thread that reads every notification as the event server's handlers
// do (user data, vehicle, driver, GPS text). The baseline in the same run is
// the codec alone decoding the same lines, so the figure reads as "the device
// path costs this many decodes".

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "protocol/json_codec.h"
#include "testsupport/process/sim_process.h"
#include "testsupport/recording_target/recording_target.h"
#include "vardoappcore/api/vardo_app_core.h"
#include "vardoappcore/library_log.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDevices = 1000;

std::string fix(int i) {
    return "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D#" +
           std::to_string(i);
}

// Reads what OnDeviceGps reads.
void handle(const testlib::Posted& p) {
    const auto dev = static_cast<HVARDODEV>(p.device);
    char buffer[512];
    benchmark::DoNotOptimize(MyVardoDev_GetUserData(dev));
    MyVardoDev_GetDevInfo(dev, DEVINFO_VEHICLE_ID, buffer, sizeof buffer);
    MyVardoDev_GetDevInfo(dev, DEVINFO_DRIVER_NAME, buffer, sizeof buffer);
    MyVardoDev_GetDevInfo(dev, DEVINFO_GPS, buffer, sizeof buffer);
    benchmark::DoNotOptimize(buffer);
}

void DevicePathGpsUpdates(benchmark::State& state) {
    const int updates = static_cast<int>(state.range(0));
    vardo::setLogSink([](std::string_view) {});
    testsim::SimProcess sim;
    testlib::RecordingTarget window;
    const HVARDOAPP app = MyVardoApp_Construct(&window, WM_DEVICE_NOTIFY);
    std::string online = "wait-login\n";
    for (int d = 0; d < kDevices; ++d) {
        online += "online d" + std::to_string(d) + " D" + std::to_string(d) + " 1 V X\n";
    }
    sim.send(online);
    MyVardoApp_SetCenterServer(app, "127.0.0.1", sim.tcpPort(), sim.udpPort());
    MyVardoApp_Login(app, "root", "kiwa");
    for (int d = 0; d < kDevices; ++d) {
        handle(*window.next());
    }
    std::string script;
    for (int i = 0; i < updates; ++i) {
        script += "gps d" + std::to_string(i % kDevices) + " " + fix(i) + "\n";
    }
    long lost = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        sim.send(script);
        for (int i = 0; i < updates; ++i) {
            const auto p = window.next(std::chrono::seconds(30));
            if (!p) {
                lost += updates - i;
                break;
            }
            handle(*p);
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.SetItemsProcessed(state.iterations() * updates);
    state.counters["lost"] = static_cast<double>(lost);
    MyVardoApp_Destruct(app);
    vardo::setLogSink({});
}
BENCHMARK(DevicePathGpsUpdates)
    ->Arg(20000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// The baseline: the same GPS lines decoded by the codec alone.
void CodecOnlyGpsUpdates(benchmark::State& state) {
    const int updates = static_cast<int>(state.range(0));
    std::vector<std::string> lines;
    for (int i = 0; i < updates; ++i) {
        std::string line = vardo::protocol::encodeLine(
            vardo::protocol::Gps{"d" + std::to_string(i % kDevices), fix(i), {}, {}});
        line.pop_back();
        lines.push_back(std::move(line));
    }
    for (auto _ : state) {
        for (const auto& line : lines) {
            benchmark::DoNotOptimize(vardo::protocol::decodeLine(line));
        }
    }
    state.SetItemsProcessed(state.iterations() * updates);
}
BENCHMARK(CodecOnlyGpsUpdates)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace
