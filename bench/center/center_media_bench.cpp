// Camera channels of real terminals recorded at once, process by process:
// vardo-terminal-sim (H.264 made live with x264, and A-law on each channel)
// -> vardo-center (stream packets in, media datagrams out) -> the event
// server's device library, which in each step opens every channel and
//   - receiving: takes the video and audio, reassembles it, writes nothing;
//   - recording: the same, and every channel recorded into an AVI file.
// Both steps run on the same processes in the same run, so the recording
// step reads as a ratio against reception alone. Over a measuring window
// after a warm-up it counts the frames that arrived, were lost (a piece
// missing, a frame never seen, the writer's queue full) and were written,
// and the CPU of the center and of the library per channel.
//
//   build-ci/bin/bench_center_media                    2 CIF + 1 D1 channels, about 40 s
//   build-ci/bin/bench_center_media --full             8 CIF + 4 D1 channels, longer windows
//   build-ci/bin/bench_center_media --cif N --d1 M [--seconds S] [--warmup W] [--udp]
//       [--center PATH]   another build of vardo-center (before and after)
//       [--center-linger-us N]   the center's --linger-us (its default otherwise)
//       [--shared-encoder]   the simulator encodes one picture per size for all its
//                            terminals (64 channels and more on a small machine)
//       [--terminal-sim PATH]   another build of vardo-terminal-sim

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/process_stats.h"
#include "testsupport/process/center_process.h"
#include "testsupport/process/child_process.h"
#include "testsupport/recording_target/recording_target.h"
#include "vardoappcore/api/vardo_app_core.h"
#include "vardoappcore/library_log.h"
#include "vardoappcore/media_counters.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The terminal simulator's cameras: a video frame and an A-law block per tick.
constexpr int kFps = 25;

struct Options {
    int cif = 2;
    int d1 = 1;
    int measureSeconds = 10;
    int warmupSeconds = 4;
    bool udp = false;
    std::string center = e2e::centerPath();  // another build, for before and after
    int centerLingerUs = -1;                 // the center's --linger-us; -1: its default
    bool sharedEncoder = false;
    std::string terminalSim = VARDO_TERMINAL_SIM_PATH;
};

struct Sample {
    Clock::time_point when;
    double library = 0;  // this process: only the library works in it meanwhile
    double center = 0;
    double terminals = 0;
    vardo::MediaCounters media;
};

struct Result {
    double framesIn = 0;      // video and audio frames assembled, a second
    double videoWritten = 0;  // a second
    std::uint64_t lost = 0;
    std::uint64_t lostByWriter = 0;
    std::uint64_t failed = 0;  // recordings that could not be written
    double center = 0;         // share of one core
    double library = 0;
    double terminals = 0;
};

class Chain {
public:
    explicit Chain(const Options& o) : options_(o) {
        char pattern[] = "/tmp/vardo-media-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::exit(1);
        }
        dir_ = pattern;
        std::vector<std::string> centerArgs{"--open-registration"};
        // Every simulated terminal streams from 127.0.0.1: the center's bound
        // on connections from one address that have not delivered a packet
        // yet (16) would turn most of a large fleet's away until the center
        // asked again. Real terminals come from addresses of their own.
        const int channels = o.cif + o.d1;
        if (channels > 16) {
            centerArgs.insert(centerArgs.end(),
                              {"--max-unproven-media-per-address", std::to_string(channels)});
        }
        if (o.centerLingerUs >= 0) {
            centerArgs.insert(centerArgs.end(), {"--linger-us", std::to_string(o.centerLingerUs)});
        }
        center_ = std::make_unique<e2e::CenterProcess>(dir_ + "/center", centerArgs, o.center);
        if (!center_->started()) {
            std::fprintf(stderr, "vardo-center did not start:\n%s", center_->log().c_str());
            std::exit(1);
        }
        vardo::setLogSink([](std::string_view) {});
        app_ = MyVardoApp_Construct(&window_, WM_DEVICE_NOTIFY);
        MyVardoApp_SetCenterServer(app_, "127.0.0.1", center_->tcpPort(), center_->udpPort());
        MyVardoApp_Login(app_, "root", "kiwa");
        if (!center_->waitForLog("logged in as 'root'")) {
            std::fprintf(stderr, "the library did not log in:\n%s", center_->log().c_str());
            std::exit(1);
        }
        startTerminals("CIF", o.cif, "13912340000");
        startTerminals("D1", o.d1, "13956780000");
        // One camera channel per terminal: channel 1, with its sound.
        for (int d = 0; d < o.cif + o.d1; ++d) {
            std::optional<testlib::Posted> p;
            while ((p = window_.next(60s)) && p->kind != NOTIFY_DEVICE_ONLINE) {
            }
            if (!p) {
                std::fprintf(stderr, "only %d terminals came online\n%s", d,
                             center_->log().c_str());
                std::exit(1);
            }
            channels_.push_back(
                MyVardoDev_CreateChannel(static_cast<HVARDODEV>(p->device), 1, &window_));
        }
    }

    ~Chain() {
        MyVardoApp_Destruct(app_);
        vardo::setLogSink({});
        for (auto& t : terminals_) {
            t->stop(SIGTERM);
        }
        center_->stop();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    Result step(bool record) {
        const std::string folder = dir_ + (record ? "/recordings" : "/none");
        fs::create_directories(folder);
        for (std::size_t i = 0; i < channels_.size(); ++i) {
            MyVardoChn_VSourceStart(channels_[i]);
            MyVardoChn_ASourceStart(channels_[i]);
            if (record) {
                const std::string path = folder + "/t" + std::to_string(i) + "-chn01.avi";
                MyVardoChn_RecordStart(channels_[i], path.c_str(), 0);
            }
        }
        std::this_thread::sleep_for(std::chrono::seconds(options_.warmupSeconds));
        const Sample a = sample();
        std::this_thread::sleep_for(std::chrono::seconds(options_.measureSeconds));
        const Sample b = sample();
        const auto finishedBefore = b.media.recordingsFinished;
        for (const HVARDOCHN c : channels_) {
            MyVardoChn_RecordStop(c);
            MyVardoChn_VSourceStop(c);
            MyVardoChn_ASourceStop(c);
        }
        if (record) {
            const auto want = finishedBefore + channels_.size();
            for (int i = 0; i < 3000 && vardo::mediaCounters(app_).recordingsFinished < want; ++i) {
                std::this_thread::sleep_for(10ms);
            }
        }
        std::this_thread::sleep_for(2s);  // the center closes the streams

        const double t = std::chrono::duration<double>(b.when - a.when).count();
        const auto& x = a.media;
        const auto& y = b.media;
        Result r;
        r.framesIn = static_cast<double>(y.framesAssembled - x.framesAssembled) / t;
        r.videoWritten = static_cast<double>(y.videoFramesWritten - x.videoFramesWritten) / t;
        r.lost = (y.framesIncomplete - x.framesIncomplete) + (y.framesMissing - x.framesMissing) +
                 (y.framesEvicted - x.framesEvicted) +
                 (y.framesDroppedByWriter - x.framesDroppedByWriter);
        r.lostByWriter = y.framesDroppedByWriter - x.framesDroppedByWriter;
        r.failed = vardo::mediaCounters(app_).recordingsFailed;
        r.center = (b.center - a.center) / t;
        r.library = (b.library - a.library) / t;
        r.terminals = (b.terminals - a.terminals) / t;
        return r;
    }

    std::size_t channels() const { return channels_.size(); }

private:
    void startTerminals(const std::string& size, int count, const std::string& firstPhone) {
        if (count == 0) {
            return;
        }
        std::vector<std::string> args{options_.terminalSim,
                                      "--port",
                                      std::to_string(center_->jt808Port()),
                                      "--terminals",
                                      std::to_string(count),
                                      "--first-phone",
                                      firstPhone,
                                      "--media-size",
                                      size,
                                      "--media-fps",
                                      std::to_string(kFps),
                                      "--location-interval",
                                      "30",
                                      "--quiet"};
        if (options_.udp) {
            args.emplace_back("--media-udp");
        }
        if (options_.sharedEncoder) {
            args.emplace_back("--media-shared-encoder");
        }
        terminals_.push_back(std::make_unique<testsim::ChildProcess>(args));
    }

    Sample sample() {
        Sample s;
        s.when = Clock::now();
        s.library = benchproc::selfCpuSeconds();
        s.center = benchproc::cpuSeconds(center_->pid());
        for (const auto& t : terminals_) {
            s.terminals += benchproc::cpuSeconds(t->pid());
        }
        s.media = vardo::mediaCounters(app_);
        return s;
    }

    const Options& options_;
    std::string dir_;
    std::unique_ptr<e2e::CenterProcess> center_;
    std::vector<std::unique_ptr<testsim::ChildProcess>> terminals_;
    testlib::RecordingTarget window_;
    HVARDOAPP app_ = 0;
    std::vector<HVARDOCHN> channels_;
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto number = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : -1; };
        if (arg == "--full") {
            o.cif = 8;
            o.d1 = 4;
            o.measureSeconds = 30;
            o.warmupSeconds = 5;
        } else if (arg == "--cif") {
            o.cif = number();
        } else if (arg == "--d1") {
            o.d1 = number();
        } else if (arg == "--seconds") {
            o.measureSeconds = number();
        } else if (arg == "--warmup") {
            o.warmupSeconds = number();
        } else if (arg == "--udp") {
            o.udp = true;
        } else if (arg == "--center-linger-us") {
            o.centerLingerUs = number();
        } else if (arg == "--center" && i + 1 < argc) {
            o.center = argv[++i];
        } else if (arg == "--shared-encoder") {
            o.sharedEncoder = true;
        } else if (arg == "--terminal-sim" && i + 1 < argc) {
            o.terminalSim = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--full | --cif N --d1 M] [--seconds S] [--warmup W] [--udp] "
                         "[--center PATH] [--center-linger-us N] [--shared-encoder] "
                         "[--terminal-sim PATH]\n",
                         argv[0]);
            return 2;
        }
    }
    if (o.cif < 0 || o.d1 < 0 || o.cif + o.d1 < 1 || o.measureSeconds < 1 || o.warmupSeconds < 2) {
        std::fprintf(stderr, "at least one channel, 1 s measured and 2 s of warm-up\n");
        return 2;
    }
    Chain chain(o);
    const int n = static_cast<int>(chain.channels());
    std::printf(
        "%d CIF + %d D1 channels of H.264 at %d fps with A-law, over %s%s; %d s measured "
        "after %d s\n",
        o.cif, o.d1, kFps, o.udp ? "UDP" : "TCP", o.sharedEncoder ? ", one encoder per size" : "",
        o.measureSeconds, o.warmupSeconds);
    std::printf(
        "mode      | frames in/s (sent) | video written/s (sent) | lost | by writer | "
        "center CPU/channel | event server CPU/channel | terminals CPU\n");
    Result steps[2];
    for (const bool record : {false, true}) {
        const Result r = chain.step(record);
        steps[record ? 1 : 0] = r;
        std::printf(
            "%-9s | %6.0f (%6d)    | %7.0f (%5d)          | %4llu | %9llu | %16.2f%% | %22.2f%% | "
            "%11.0f%%\n",
            record ? "recording" : "receiving", r.framesIn, 2 * n * kFps, r.videoWritten, n * kFps,
            static_cast<unsigned long long>(r.lost),
            static_cast<unsigned long long>(r.lostByWriter), 100 * r.center / n,
            100 * r.library / n, 100 * r.terminals);
        std::fflush(stdout);
    }
    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    const Result& rx = steps[0];
    const Result& rec = steps[1];
    std::printf("recording / receiving CPU: center %.2f, event server %.2f\n",
                ratio(rec.center, rx.center), ratio(rec.library, rx.library));
    std::printf("channels per core (recording): center %.0f, event server %.0f\n",
                ratio(n, rec.center), ratio(n, rec.library));
    const bool clean =
        rx.lost == 0 && rec.lost == 0 && rec.failed == 0 && rec.videoWritten > 0.9 * n * kFps;
    if (!clean) {
        std::printf("FRAMES LOST or not written (recordings failed: %llu)\n",
                    static_cast<unsigned long long>(rec.failed));
    }
    return clean ? 0 : 1;
}
