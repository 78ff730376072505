// vardo-terminal-sim: simulated vehicle terminals for trying vardo-center
// and for its tests and benchmarks.

#include <asio.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/terminal/codes_file.h"
#include "sim/terminal/fleet.h"
#include "sim/terminal/options.h"

int main(int argc, char** argv) {
    using namespace sim::terminal;
    const ParsedOptions parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "vardo-terminal-sim: %s\n%s", parsed.error.c_str(),
                     usageText().c_str());
        return 2;
    }
    const Options& o = parsed.options;
    if (o.help) {
        std::fputs(usageText().c_str(), stdout);
        return 0;
    }
    CodesFile codes(o.codesFile.value_or(""));
    if (const std::string error = codes.load(); !error.empty()) {
        std::fprintf(stderr, "vardo-terminal-sim: %s\n", error.c_str());
        return 1;
    }

    asio::io_context io;
    // Lines go out whole and at once, so a test reading the output can wait
    // for one.
    const bool quiet = o.quiet;
    Fleet fleet(io, o.fleet, codes, [quiet](const std::string& line) {
        if (!quiet) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        }
    });
    std::printf("vardo-terminal-sim: terminals %d, center %s:%u\n", o.fleet.terminals,
                o.fleet.host.c_str(), static_cast<unsigned>(o.fleet.port));
    std::fflush(stdout);

    asio::signal_set signals(io, SIGINT, SIGTERM);
    asio::steady_timer deadline(io);
    auto finish = [&] {
        fleet.stop();
        signals.cancel();
        deadline.cancel();
    };
    signals.async_wait([&](const asio::error_code& e, int) {
        if (!e) {
            finish();
        }
    });
    if (o.seconds > 0) {
        deadline.expires_after(std::chrono::milliseconds(static_cast<long long>(o.seconds * 1000)));
        deadline.async_wait([&](const asio::error_code& e) {
            if (!e) {
                finish();
            }
        });
    }
    fleet.start();
    io.run();

    const FleetCounters& c = fleet.counters();
    std::printf(
        "vardo-terminal-sim: %llu connections, %llu registrations, %llu authentications, "
        "%llu refusals, %llu locations, %llu batch items, %llu alarms, %llu acks, %llu nacks, "
        "%llu reports answered, %llu sent again, %llu unanswered\n",
        static_cast<unsigned long long>(c.connections.load()),
        static_cast<unsigned long long>(c.registrations.load()),
        static_cast<unsigned long long>(c.authentications.load()),
        static_cast<unsigned long long>(c.refusals.load()),
        static_cast<unsigned long long>(c.locations.load()),
        static_cast<unsigned long long>(c.batchItems.load()),
        static_cast<unsigned long long>(c.alarms.load()),
        static_cast<unsigned long long>(c.acks.load()),
        static_cast<unsigned long long>(c.nacks.load()),
        static_cast<unsigned long long>(c.reportsAnswered.load()),
        static_cast<unsigned long long>(c.reportsResent.load()),
        static_cast<unsigned long long>(fleet.unansweredReports()));
    return 0;
}
