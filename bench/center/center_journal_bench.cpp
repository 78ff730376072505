// Location reports through vardo-center with its journal on (every answer
// waits for the sync) and off (answered at once), alternating in the same
// run: simulated terminals report as fast as the interval says, the headless
// event server is logged in with acknowledgements and stores into SQLite, or
// into PostgreSQL with --database CONNINFO (e.g. the string
// `scripts/pg-test-server start DIR` prints, with db/schema/postgresql.sql
// installed by psql as docs/database.md says). Per round: reports the center
// answered per second and fixes stored per second while the whole fleet
// reports (both over the same window, after every terminal has logged in),
// and the fixes stored per second of the whole round (logins and the event
// server catching up after the fleet stopped included); then the ratios
// on / off. With --pgbench (and --database), each round also runs
// bench/db/pgbench-gps-add on the same database for as many seconds, and the
// stored rates are given against its calls per second.
//
// The PostgreSQL database is the bench's own: its gps_fixes is emptied, and a
// checkpoint taken, before every round and every pgbench run, so each starts
// from the same table (an index grown by the rounds before would slow the
// later ones) and none pays for writing out what another left.
//
//   build-ci/bin/bench_center_journal [--terminals N] [--interval MS] [--seconds S]
//                                     [--rounds R] [--database CONNINFO] [--pgbench]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    double sentPerSecond = 0;  // what the fleet offered, over the same window
    double answeredPerSecond = 0;
    double storedWhileReporting = 0;  // per second, over the same window
    std::size_t stored = 0;
    double storedPerSecond = 0;  // over the whole round
};

// `text` as one word of a shell command.
std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// Rows of gps_fixes in the PostgreSQL database `conninfo` (0 when psql fails).
std::size_t CountPgFixes(const std::string& conninfo) {
    const std::string command = "psql -X -q -t -A -c 'select count(*) from gps_fixes' " +
                                ShellQuoted(conninfo) + " 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return 0;
    }
    char line[64] = {};
    const bool read = std::fgets(line, sizeof line, pipe) != nullptr;
    ::pclose(pipe);
    return read ? static_cast<std::size_t>(std::strtoull(line, nullptr, 10)) : 0;
}

// Empties gps_fixes of the PostgreSQL database `conninfo`, then asks for a
// checkpoint (a superuser's right; skipped otherwise), so that what the round
// before left dirty is not written out during the next measurement.
bool EmptyPgFixes(const std::string& conninfo) {
    const std::string command =
        "psql -X -q -v ON_ERROR_STOP=1 -c 'TRUNCATE gps_fixes' " + ShellQuoted(conninfo);
    if (std::system(command.c_str()) != 0) {
        return false;
    }
    const std::string checkpoint =
        "psql -X -q -c 'CHECKPOINT' " + ShellQuoted(conninfo) + " >/dev/null 2>&1";
    [[maybe_unused]] const int ignored = std::system(checkpoint.c_str());
    return true;
}

// Calls per second of pgbench's pipelined gps_add on `conninfo` (0 when it
// fails).
double RunPgbench(const std::string& conninfo, int seconds) {
    const std::string command = ShellQuoted(VARDO_SOURCE_DIR "/bench/db/pgbench-gps-add") + " " +
                                ShellQuoted(conninfo) + " " + std::to_string(seconds);
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return 0;
    }
    char line[256] = {};
    double perSecond = 0;
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        // "pgbench, 512 pipelined gps_add per transaction: 19342 calls/s"
        if (const char* colon = std::strrchr(line, ':'); colon != nullptr) {
            perSecond = std::strtod(colon + 1, nullptr);
        }
    }
    ::pclose(pipe);
    return perSecond;
}

Round RunOnce(bool journal, int terminals, std::chrono::milliseconds interval, int seconds,
              const std::string& database) {
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
        e2e::RunSettings settings;
        if (!database.empty()) {
            settings.connectString = database;
        }
        if (!database.empty() && !EmptyPgFixes(database)) {
            std::fprintf(stderr, "could not empty gps_fixes of the database\n");
            return {};
        }
        e2e::EventServerRun server(center.tcpPort(), settings);
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
        const auto firstReport = std::chrono::steady_clock::now();
        io.call([&] { fleet.start(); });
        const auto until = std::chrono::steady_clock::now() + 60s;
        while (fleet.counters().authentications < static_cast<std::uint64_t>(terminals) &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(50ms);
        }
        const auto count = [&] {
            return database.empty() ? server.fixes().size() : CountPgFixes(database);
        };
        std::this_thread::sleep_for(1s);  // the first reports settle
        const std::uint64_t before = fleet.counters().reportsAnswered;
        const std::uint64_t sentBefore = fleet.counters().locations;
        const std::size_t storedBefore = count();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const std::uint64_t after = fleet.counters().reportsAnswered;
        const std::uint64_t sentAfter = fleet.counters().locations;
        const std::size_t storedAfter = count();
        const double window =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        round.sentPerSecond = static_cast<double>(sentAfter - sentBefore) / window;
        round.answeredPerSecond = static_cast<double>(after - before) / window;
        round.storedWhileReporting = static_cast<double>(storedAfter - storedBefore) / window;
        io.call([&] { fleet.stop(); });
        const std::uint64_t answered = fleet.counters().reportsAnswered;
        io.stop();
        // Stored per second over the whole round: until the database holds
        // every answered report (or 60 s more have passed).
        const auto settleUntil = std::chrono::steady_clock::now() + 60s;
        while (count() < answered && std::chrono::steady_clock::now() < settleUntil) {
            std::this_thread::sleep_for(100ms);
        }
        round.stored = count();
        round.storedPerSecond =
            static_cast<double>(round.stored) /
            std::chrono::duration<double>(std::chrono::steady_clock::now() - firstReport).count();
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
    std::string database;
    bool pgbench = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--pgbench") {
            pgbench = true;
            continue;
        }
        if (i + 1 < argc && a == "--terminals") {
            terminals = std::atoi(argv[++i]);
        } else if (i + 1 < argc && a == "--interval") {
            intervalMs = std::atoi(argv[++i]);
        } else if (i + 1 < argc && a == "--seconds") {
            seconds = std::atoi(argv[++i]);
        } else if (i + 1 < argc && a == "--rounds") {
            rounds = std::atoi(argv[++i]);
        } else if (i + 1 < argc && a == "--database") {
            database = argv[++i];
        } else {
            std::fprintf(stderr,
                         "usage: %s [--terminals N] [--interval MS] [--seconds S] [--rounds R] "
                         "[--database CONNINFO] [--pgbench]\n",
                         argv[0]);
            return 2;
        }
    }
    if (pgbench && database.empty()) {
        std::fprintf(stderr, "--pgbench needs --database\n");
        return 2;
    }
    double pgbenchCalls = 0;
    Round on;  // sums over the rounds
    Round off;
    // The three measurements of a round take turns at going first: the
    // machine's disk and the database slow down over a run, and whatever
    // always ran last would always pay for it.
    enum class Mode { On, Off, Pgbench };
    for (int r = 0; r < rounds; ++r) {
        std::vector<Mode> order{Mode::On, Mode::Off};
        if (pgbench) {
            order.push_back(Mode::Pgbench);
        }
        std::rotate(order.begin(), order.begin() + r % static_cast<int>(order.size()), order.end());
        for (const Mode mode : order) {
            if (mode == Mode::Pgbench) {
                const double calls = EmptyPgFixes(database) ? RunPgbench(database, seconds) : 0.0;
                std::printf("round %d, pgbench: %.0f gps_add calls/s\n", r + 1, calls);
                std::fflush(stdout);
                pgbenchCalls += calls / rounds;
                continue;
            }
            const bool journal = mode == Mode::On;
            const Round round = RunOnce(journal, terminals, std::chrono::milliseconds(intervalMs),
                                        seconds, database);
            std::printf(
                "round %d, journal %-3s: %8.0f reports sent/s, %8.0f answered/s, %8.0f fixes "
                "stored/s "
                "while reporting; %zu fixes stored, %.0f/s over the round\n",
                r + 1, journal ? "on" : "off", round.sentPerSecond, round.answeredPerSecond,
                round.storedWhileReporting, round.stored, round.storedPerSecond);
            std::fflush(stdout);
            Round& sum = journal ? on : off;
            sum.sentPerSecond += round.sentPerSecond / rounds;
            sum.answeredPerSecond += round.answeredPerSecond / rounds;
            sum.storedWhileReporting += round.storedWhileReporting / rounds;
            sum.storedPerSecond += round.storedPerSecond / rounds;
        }
    }
    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf(
        "%d terminals every %d ms into %s, journal on / off:\n"
        "  sent                %8.0f / %8.0f a second\n"
        "  answered            %8.0f / %8.0f a second, ratio %.3f\n"
        "  stored, reporting   %8.0f / %8.0f a second, ratio %.3f\n"
        "  stored, whole round %8.0f / %8.0f a second, ratio %.3f\n",
        terminals, intervalMs, database.empty() ? "SQLite" : "PostgreSQL", on.sentPerSecond,
        off.sentPerSecond, on.answeredPerSecond, off.answeredPerSecond,
        ratio(on.answeredPerSecond, off.answeredPerSecond), on.storedWhileReporting,
        off.storedWhileReporting, ratio(on.storedWhileReporting, off.storedWhileReporting),
        on.storedPerSecond, off.storedPerSecond, ratio(on.storedPerSecond, off.storedPerSecond));
    if (pgbench) {
        std::printf(
            "pgbench %.0f calls a second; stored against it, on / off: while reporting %.3f / "
            "%.3f, whole round %.3f / %.3f\n",
            pgbenchCalls, ratio(on.storedWhileReporting, pgbenchCalls),
            ratio(off.storedWhileReporting, pgbenchCalls), ratio(on.storedPerSecond, pgbenchCalls),
            ratio(off.storedPerSecond, pgbenchCalls));
    }
    return 0;
}
