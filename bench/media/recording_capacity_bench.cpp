// How many channels the device library records at once before frames are
// lost, and the CPU it spends per recording channel.
//
// The simulator runs as a child process with D devices of four channels,
// CIF at 12 fps (each channel number's frames encoded once and looped, so
// that the simulator's own encoding does not eat the machine); channel 1
// sends its audio too, as an alarm starts it. The bench logs in with the
// library and, for each step, opens the channels of the first d devices:
//   - baseline: video and audio received and reassembled, nothing written;
//   - recording: the same, and every channel recorded into an AVI file.
// After a warm-up it counts, over a measuring window, the frames written and
// lost (a fragment missing, a frame never seen, the writer's queue full)
// and the CPU of the library's threads (getrusage and /proc per thread),
// and the simulator's CPU beside them.
//
//   build/bin/bench_recording_capacity [--devices 10,25,50,100] [--seconds 15]
//                                      [--warmup 5] [--dir /tmp] [--jpeg-quality 6]
//                                      [--picture-detail 0] [--live-frames]

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/process_stats.h"
#include "testsupport/process/sim_process.h"
#include "testsupport/recording_target/recording_target.h"
#include "vardoappcore/api/vardo_app_core.h"
#include "vardoappcore/library_log.h"
#include "vardoappcore/media_counters.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int kFps = 12;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The kernel's count of UDP datagrams dropped for a full receive buffer
// (the whole machine's).
std::uint64_t udpReceiveBufferErrors() {
    std::ifstream in("/proc/net/snmp");
    std::string line;
    std::vector<std::string> names;
    while (std::getline(in, line)) {
        if (line.rfind("Udp:", 0) != 0) {
            continue;
        }
        std::istringstream fields(line.substr(4));
        std::vector<std::string> values;
        std::string f;
        while (fields >> f) {
            values.push_back(f);
        }
        if (names.empty()) {
            names = values;
            continue;
        }
        for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) {
            if (names[i] == "RcvbufErrors") {
                return std::stoull(values[i]);
            }
        }
    }
    return 0;
}

// CPU seconds of this process's threads, by name (vardo-io, vardo-rec).
std::map<std::string, double> threadCpu() {
    std::map<std::string, double> cpu;
    for (const auto& t : benchproc::threadCpu("self")) {
        cpu[t.name] += t.seconds;
    }
    return cpu;
}

struct Sample {
    Clock::time_point when;
    double self = 0;
    double io = 0;
    double writer = 0;
    double sim = 0;
    std::uint64_t kernelDrops = 0;
    vardo::MediaCounters media;
};

struct Bench {
    std::vector<int> devices = {10, 25, 50, 100};
    int measureSeconds = 15;
    int warmupSeconds = 5;
    std::string dir = "/tmp";
    bool liveFrames = false;
    int jpegQuality = 6;  // the simulator's
    int detail = 0;       // --picture-detail of the simulator: larger frames
};

struct Result {
    int channels = 0;
    double framesIn = 0;      // video and audio frames assembled, a second
    double videoWritten = 0;  // a second
    double frameBytes = 0;    // on disk per video frame, audio included
    double lostShare = 0;     // of video and audio frames
    std::uint64_t lost = 0;
    std::uint64_t lostByWriter = 0;  // of lost: the writer's queue was full
    std::uint64_t kernelDrops = 0;   // datagrams the kernel dropped (any socket)
    double cpu = 0;                  // of one core, the whole library
    double io = 0;
    double writer = 0;
    double sim = 0;
};

class Run {
public:
    explicit Run(const Bench& bench) : bench_(bench) {
        std::vector<std::string> args{"--jpeg-quality", std::to_string(bench.jpegQuality),
                                      "--picture-detail", std::to_string(bench.detail)};
        if (!bench.liveFrames) {
            args.insert(args.end(), {"--repeat-frames", "12"});
        }
        sim_ = std::make_unique<testsim::SimProcess>(args);
        simPid_ = sim_->pid();
        vardo::setLogSink([](std::string_view) {});  // 400 start lines are no news
        app_ = MyVardoApp_Construct(&window_, WM_DEVICE_NOTIFY);
        int most = 0;
        for (const int d : bench.devices) {
            most = std::max(most, d);
        }
        std::string script = "wait-login\n";
        for (int d = 1; d <= most; ++d) {
            char id[16];
            std::snprintf(id, sizeof id, "%05d", d);
            script += std::string("online d") + id + " VD" + id + " 4\n";
        }
        sim_->send(script);
        MyVardoApp_SetCenterServer(app_, "127.0.0.1", sim_->tcpPort(), sim_->udpPort());
        MyVardoApp_Login(app_, "root", "kiwa");
        for (int d = 0; d < most; ++d) {
            const auto p = window_.next(30s);
            if (!p) {
                std::fprintf(stderr, "only %d devices came online\n", d);
                std::exit(1);
            }
            std::vector<HVARDOCHN> ch;
            for (int n = 1; n <= 4; ++n) {
                ch.push_back(
                    MyVardoDev_CreateChannel(static_cast<HVARDODEV>(p->device), n, &window_));
            }
            channels_.push_back(ch);
        }
    }

    ~Run() {
        MyVardoApp_Destruct(app_);
        vardo::setLogSink({});
    }

    Result step(int devices, bool record) {
        const std::string folder = bench_.dir + "/vardo-capacity-" + std::to_string(getpid());
        for (int d = 0; d < devices; ++d) {
            for (int n = 0; n < 4; ++n) {
                const HVARDOCHN c =
                    channels_[static_cast<std::size_t>(d)][static_cast<std::size_t>(n)];
                MyVardoChn_VSourceStart(c);
                if (n == 0) {
                    MyVardoChn_ASourceStart(c);
                }
                if (record) {
                    const std::string path = folder + "/d" + std::to_string(d) + "-chn0" +
                                             std::to_string(n + 1) + ".avi";
                    MyVardoChn_RecordStart(c, path.c_str(), 0);
                }
            }
        }
        const auto firstWritten = vardo::mediaCounters(app_).videoFramesWritten;
        std::this_thread::sleep_for(std::chrono::seconds(bench_.warmupSeconds));
        const Sample a = sample();
        std::this_thread::sleep_for(std::chrono::seconds(bench_.measureSeconds));
        const Sample b = sample();

        const auto finishedBefore = b.media.recordingsFinished;
        for (int d = 0; d < devices; ++d) {
            for (const HVARDOCHN c : channels_[static_cast<std::size_t>(d)]) {
                MyVardoChn_VSourceStop(c);
                MyVardoChn_ASourceStop(c);
                MyVardoChn_RecordStop(c);
            }
        }
        if (record) {
            // Let the writer finish the files before the next step.
            const auto want = finishedBefore + static_cast<std::uint64_t>(devices) * 4;
            for (int i = 0; i < 3000 && vardo::mediaCounters(app_).recordingsFinished < want; ++i) {
                std::this_thread::sleep_for(10ms);
            }
        }
        std::this_thread::sleep_for(1s);  // the simulator stops sending
        std::error_code ec;
        std::uintmax_t bytes = 0;
        for (const auto& entry : fs::directory_iterator(folder, ec)) {
            bytes += entry.file_size(ec);
        }
        const auto allWritten = vardo::mediaCounters(app_).videoFramesWritten - firstWritten;
        fs::remove_all(folder, ec);

        const double t = seconds(b.when - a.when);
        const auto& x = a.media;
        const auto& y = b.media;
        Result r;
        r.channels = devices * 4;
        const auto lost = (y.framesIncomplete - x.framesIncomplete) +
                          (y.framesMissing - x.framesMissing) +
                          (y.framesDroppedByWriter - x.framesDroppedByWriter);
        const auto assembled = y.framesAssembled - x.framesAssembled;
        r.lost = lost;
        r.lostByWriter = y.framesDroppedByWriter - x.framesDroppedByWriter;
        r.kernelDrops = b.kernelDrops - a.kernelDrops;
        r.lostShare = assembled + lost > 0
                          ? static_cast<double>(lost) / static_cast<double>(assembled + lost)
                          : 0;
        r.framesIn = static_cast<double>(assembled) / t;
        r.frameBytes =
            allWritten > 0 ? static_cast<double>(bytes) / static_cast<double>(allWritten) : 0;
        r.videoWritten = static_cast<double>(y.videoFramesWritten - x.videoFramesWritten) / t;
        r.cpu = (b.self - a.self) / t;
        r.io = (b.io - a.io) / t;
        r.writer = (b.writer - a.writer) / t;
        r.sim = (b.sim - a.sim) / t;
        return r;
    }

private:
    Sample sample() {
        Sample s;
        s.when = Clock::now();
        s.self = benchproc::selfCpuSeconds();
        const auto threads = threadCpu();
        s.io = threads.count("vardo-io") != 0 ? threads.at("vardo-io") : 0;
        s.writer = threads.count("vardo-rec") != 0 ? threads.at("vardo-rec") : 0;
        s.sim = simPid_ > 0 ? benchproc::cpuSeconds(simPid_) : 0;
        s.media = vardo::mediaCounters(app_);
        s.kernelDrops = udpReceiveBufferErrors();
        return s;
    }

    const Bench& bench_;
    std::unique_ptr<testsim::SimProcess> sim_;
    pid_t simPid_ = 0;
    testlib::RecordingTarget window_;
    HVARDOAPP app_ = 0;
    std::vector<std::vector<HVARDOCHN>> channels_;
};

std::vector<int> parseList(const std::string& text) {
    std::vector<int> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        out.push_back(std::atoi(item.c_str()));
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    Bench bench;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (arg == "--devices") {
            bench.devices = parseList(value());
        } else if (arg == "--seconds") {
            bench.measureSeconds = std::atoi(value().c_str());
        } else if (arg == "--warmup") {
            bench.warmupSeconds = std::atoi(value().c_str());
        } else if (arg == "--dir") {
            bench.dir = value();
        } else if (arg == "--jpeg-quality") {
            bench.jpegQuality = std::atoi(value().c_str());
        } else if (arg == "--picture-detail") {
            bench.detail = std::atoi(value().c_str());
        } else if (arg == "--live-frames") {
            bench.liveFrames = true;
        } else {
            std::fprintf(stderr, "unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    Run run(bench);
    std::printf(
        "CIF at %d fps, JPEG quality %d, picture detail %d%%, %s frames; %d s measured after %d "
        "s\n",
        kFps, bench.jpegQuality, bench.detail, bench.liveFrames ? "live" : "looped",
        bench.measureSeconds, bench.warmupSeconds);
    std::printf(
        "channels | mode      | frames in/s | video written/s (nominal) | lost frames     | "
        "by writer | kernel drops | library CPU (I/O, writer)  | per channel | simulator CPU | "
        "bytes/frame\n");
    for (const int d : bench.devices) {
        for (const bool record : {false, true}) {
            const Result r = run.step(d, record);
            std::printf(
                "%8d | %-9s | %11.0f | %7.0f (%5d)           | %6llu %6.3f%% | %9llu | %12llu | "
                "%5.1f%% (%5.1f%%, "
                "%5.1f%%) | %6.3f%%     | %5.1f%%        | %6.0f\n",
                r.channels, record ? "recording" : "receiving", r.framesIn, r.videoWritten,
                r.channels * kFps, static_cast<unsigned long long>(r.lost), 100 * r.lostShare,
                static_cast<unsigned long long>(r.lostByWriter),
                static_cast<unsigned long long>(r.kernelDrops), 100 * r.cpu, 100 * r.io,
                100 * r.writer, 100 * r.cpu / r.channels, 100 * r.sim, r.frameBytes);
            std::fflush(stdout);
        }
    }
    return 0;
}
