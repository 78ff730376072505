// Location reports through vardo-center with its journal on (every answer
// waits for the sync) and off (answered at once), alternating in the same
// run: simulated terminals report as fast as the interval says, the headless
// event server is logged in with acknowledgements and stores into SQLite.
// Per round: reports the center answered per second, how many reports waited
// unanswered at the end, and the fixes stored; then the ratio on / off.
//
//   build-ci/bin/bench_center_journal [--terminals N] [--interval MS] [--seconds S]
//                                     [--rounds R]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sim/terminal/codes_file.h"
#include "sim/terminal/fleet.h"
#include "testsupport/io_thread/io_thread.h"
#include "testsupport/process/center_process.h"
#include "testsupport/process/event_server_run.h"

namespace {

using namespace std::chrono_literals;

struct Round {
    double answeredPerSecond = 0;
    std::size_t stored = 0;
};

Round RunOnce(bool journal, int terminals, std::chrono::milliseconds interval, int seconds) {
    char pattern[] = "/tmp/vardo-center-journal-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return {};
    }
    const std::string data = pattern;
    Round round;
    {
        std::vector<std::string> args{"--open-registration"};
        if (!journal) {
            args.insert(args.end(), {"--journal-max-mb", "0"});
        }
        e2e::CenterProcess center(data, args);
        if (!center.started()) {
            std::fprintf(stderr, "the center did not start:\n%s\n", center.log().c_str());
            return {};
        }
        e2e::EventServerRun server(center.tcpPort());
        server.start();
        center.waitForLog("logged in as 'root'");

        testsim::IoThread io;
        sim::terminal::CodesFile codes(data + "/codes");
        sim::terminal::FleetConfig config;
        config.port = center.jt808Port();
        config.terminals = terminals;
        config.locationInterval = interval;
        config.heartbeatInterval = 60s;
        config.driverCard = false;
        config.answerTimeout = 30s;
        sim::terminal::Fleet fleet(io.context(), config, codes, [](const std::string&) {});
        io.start();
        io.call([&] { fleet.start(); });
        const auto until = std::chrono::steady_clock::now() + 60s;
        while (fleet.counters().authentications < static_cast<std::uint64_t>(terminals) &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(50ms);
        }
        std::this_thread::sleep_for(1s);  // the first reports settle
        const std::uint64_t before = fleet.counters().reportsAnswered;
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const std::uint64_t after = fleet.counters().reportsAnswered;
        round.answeredPerSecond =
            static_cast<double>(after - before) /
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        io.call([&] { fleet.stop(); });
        io.stop();
        std::this_thread::sleep_for(2s);
        round.stored = server.fixes().size();
        server.stop();
        center.stop();
    }
    std::filesystem::remove_all(data);
    return round;
}

}  // namespace

int main(int argc, char** argv) {
    int terminals = 500;
    int intervalMs = 100;
    int seconds = 10;
    int rounds = 2;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 < argc && a == "--terminals") {
            terminals = std::atoi(argv[++i]);
        } else if (i + 1 < argc && a == "--interval") {
            intervalMs = std::atoi(argv[++i]);
        } else if (i + 1 < argc && a == "--seconds") {
            seconds = std::atoi(argv[++i]);
        } else if (i + 1 < argc && a == "--rounds") {
            rounds = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: %s [--terminals N] [--interval MS] [--seconds S] [--rounds R]\n",
                         argv[0]);
            return 2;
        }
    }
    double on = 0;
    double off = 0;
    for (int r = 0; r < rounds; ++r) {
        for (const bool journal : {true, false}) {
            const Round round =
                RunOnce(journal, terminals, std::chrono::milliseconds(intervalMs), seconds);
            std::printf("round %d, journal %-3s: %8.0f reports answered/s, %zu fixes stored\n",
                        r + 1, journal ? "on" : "off", round.answeredPerSecond, round.stored);
            std::fflush(stdout);
            (journal ? on : off) += round.answeredPerSecond;
        }
    }
    std::printf("%d terminals every %d ms: journal on %.0f/s, off %.0f/s, ratio %.3f\n", terminals,
                intervalMs, on / rounds, off / rounds, off > 0 ? on / off : 0.0);
    return 0;
}
