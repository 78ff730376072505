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
// Each round also gives where the machine's CPU went while the fleet reports,
// per fix stored: the center, the fleet (this process), the event server and
// the rest (PostgreSQL, and anything else that ran). It also gives the event server's CPU time (all
// its threads, and its window and I/O threads apart) per fix stored while the fleet reports: on two
// cores every microsecond of it is taken from the center and the database. --event-server PATH runs
// that binary instead of the build's own; given twice, every round runs both in turn, so a change
// to the event server is measured against the binary before it in the same run. --journal on (or
// off) runs only that mode of the center.
//
// After the fleet stops, the round waits up to --settle seconds (60) for every answered report to
// be stored, less those the center answered as repeats (the position and second of one already
// numbered: a simulated terminal whose timer fires twice at once makes them), and says how many are
// missing if some are. --numbered gives every report a position of its own, so there are no
// repeats.
//
//   build-ci/bin/bench_center_journal [--terminals N] [--interval MS] [--seconds S]
//                                     [--rounds R] [--settle S] [--database CONNINFO] [--pgbench]
//                                     [--journal on|off] [--event-server PATH]... [--numbered]

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
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
    std::uint64_t answered = 0;  // in all, the whole round
    std::uint64_t repeated = 0;  // answered as the center's repeats: stored once
    double storedPerSecond = 0;  // over the whole round
    // The event server's CPU microseconds per fix stored over the window
    // where the fleet reports, by thread name ("": all its threads).
    std::map<std::string, double> cpuPerFix;
    // Where the machine's CPU went over the same window, microseconds per
    // fix stored: the center, the simulated fleet (this process), the event
    // server, and the rest (PostgreSQL, and whatever else runs).
    double centerPerFix = 0;
    double fleetPerFix = 0;
    double machinePerFix = 0;
};

// "12.3 us CPU a fix (vardo-io 4.1, ...)", the threads by name.
std::string CpuText(const std::map<std::string, double>& perFix) {
    char text[64];
    const auto all = perFix.find("");
    std::snprintf(text, sizeof text, "%.1f us CPU a fix (",
                  all != perFix.end() ? all->second : 0.0);
    std::string out = text;
    const char* separator = "";
    for (const auto& [name, us] : perFix) {
        if (!name.empty()) {
            std::snprintf(text, sizeof text, "%s%s %.1f", separator, name.c_str(), us);
            out += text;
            separator = ", ";
        }
    }
    return out + ")";
}

// CPU ticks (user and system) of each thread of process `pid`, summed by the
// thread's name.
std::map<std::string, long> ThreadTicks(pid_t pid) {
    std::map<std::string, long> ticks;
    std::error_code ec;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
        std::ifstream in(task.path() / "stat");
        std::string line;
        std::getline(in, line);
        // "tid (name) state ppid ... utime stime": the name may hold spaces,
        // the fields after its last ')' do not.
        const auto open = line.find('(');
        const auto close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open) {
            continue;
        }
        const std::string name = line.substr(open + 1, close - open - 1);
        std::istringstream fields(line.substr(close + 2));
        std::string field;
        long utime = 0;
        long stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) {
                utime = std::atol(field.c_str());
            } else if (i == 15) {
                stime = std::atol(field.c_str());
            }
        }
        ticks[name] += utime + stime;
        ticks[""] += utime + stime;
    }
    return ticks;
}

// Busy CPU ticks of the whole machine (every core), from /proc/stat.
long MachineBusyTicks() {
    std::ifstream in("/proc/stat");
    std::string cpu;
    long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    return user + nice + system + irq + softirq + steal;
}

// "center 20.1, fleet 9.0, event server 7.4, rest 25.3 us a fix".
std::string StagesText(const Round& round) {
    const double all = round.cpuPerFix.count("") != 0 ? round.cpuPerFix.at("") : 0.0;
    char text[160];
    std::snprintf(
        text, sizeof text,
        "center %.1f, fleet %.1f, event server %.1f, the rest (PostgreSQL...) %.1f us CPU "
        "a fix",
        round.centerPerFix, round.fleetPerFix, all,
        std::max(0.0, round.machinePerFix - round.centerPerFix - round.fleetPerFix - all));
    return text;
}

// `text` as one word of a shell command.
std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

// The last "reports repeated N" of the center's status lines (0: none).
std::uint64_t RepeatedReports(const std::string& log) {
    const std::string key = "reports repeated ";
    const auto at = log.rfind(key);
    return at == std::string::npos ? 0 : std::strtoull(log.c_str() + at + key.size(), nullptr, 10);
}

// Rows of gps_fixes in the PostgreSQL database `conninfo` (0 when psql fails).
std::size_t CountPgFixes(const std::string& conninfo) {
    // The reports' fixes: a login stores a fix with no sentence too.
    const std::string command =
        "psql -X -q -t -A -c \"select count(*) from gps_fixes where gps_info <> ''\" " +
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
              std::chrono::seconds settle, const std::string& database,
              const std::string& eventServer, bool numbered) {
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
        settings.program = eventServer;
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
        config.numberedFixes = numbered;
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
            if (!database.empty()) {
                return CountPgFixes(database);
            }
            const auto fixes = server.fixes();
            return static_cast<std::size_t>(std::count_if(
                fixes.begin(), fixes.end(), [](const e2e::FixRow& f) { return !f.gps.empty(); }));
        };
        std::this_thread::sleep_for(1s);  // the first reports settle
        const std::uint64_t before = fleet.counters().reportsAnswered;
        const std::uint64_t sentBefore = fleet.counters().locations;
        const std::size_t storedBefore = count();
        const auto ticksBefore = ThreadTicks(server.pid());
        const long centerBefore = ThreadTicks(center.pid())[""];
        const long fleetBefore = ThreadTicks(::getpid())[""];
        const long machineBefore = MachineBusyTicks();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const std::uint64_t after = fleet.counters().reportsAnswered;
        const std::uint64_t sentAfter = fleet.counters().locations;
        const std::size_t storedAfter = count();
        auto ticksAfter = ThreadTicks(server.pid());
        const long centerAfter = ThreadTicks(center.pid())[""];
        const long fleetAfter = ThreadTicks(::getpid())[""];
        const long machineAfter = MachineBusyTicks();
        if (storedAfter > storedBefore) {
            const double usPerTick = 1e6 / static_cast<double>(sysconf(_SC_CLK_TCK));
            const double fixes = static_cast<double>(storedAfter - storedBefore);
            round.centerPerFix =
                static_cast<double>(centerAfter - centerBefore) * usPerTick / fixes;
            round.fleetPerFix = static_cast<double>(fleetAfter - fleetBefore) * usPerTick / fixes;
            round.machinePerFix =
                static_cast<double>(machineAfter - machineBefore) * usPerTick / fixes;
            const auto perFix = [&](const std::string& name) {
                const auto was = ticksBefore.find(name);
                const long spent = ticksAfter[name] - (was != ticksBefore.end() ? was->second : 0);
                return static_cast<double>(spent) * usPerTick /
                       static_cast<double>(storedAfter - storedBefore);
            };
            for (const auto& [name, ticks] : ticksAfter) {
                round.cpuPerFix[name] = perFix(name);
            }
        }
        const double window =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        round.sentPerSecond = static_cast<double>(sentAfter - sentBefore) / window;
        round.answeredPerSecond = static_cast<double>(after - before) / window;
        round.storedWhileReporting = static_cast<double>(storedAfter - storedBefore) / window;
        io.call([&] { fleet.stop(); });
        const std::uint64_t answered = fleet.counters().reportsAnswered;
        io.stop();
        // The center's status line counts the repeats it answered.
        ::kill(center.pid(), SIGUSR1);
        center.waitForLog("reports repeated ");
        round.repeated = RepeatedReports(center.log());
        const std::uint64_t distinct = answered - std::min(answered, round.repeated);
        // Stored per second over the whole round: until the database holds
        // every answered report (or `settle` more has passed).
        const auto settleUntil = std::chrono::steady_clock::now() + settle;
        while (count() < distinct && std::chrono::steady_clock::now() < settleUntil) {
            std::this_thread::sleep_for(100ms);
        }
        round.stored = count();
        round.answered = answered;
        round.storedPerSecond =
            static_cast<double>(round.stored) /
            std::chrono::duration<double>(std::chrono::steady_clock::now() - firstReport).count();
        server.stop();
        center.stop();
        if (round.stored < distinct) {
            // What each side said, their stop lines included, for whoever
            // looks into it.
            const std::string keep = "/tmp/vardo-center-journal-bench-unstored";
            std::filesystem::create_directories(keep);
            std::ofstream(keep + "/center.log") << center.log();
            std::ofstream(keep + "/event-server.log") << server.log();
            if (!database.empty()) {
                // Fixes a device: a loss confined to some terminals shows here.
                const std::string query =
                    "psql -X -q -A -c 'select n, count(*) as devices from (select device_name, "
                    "count(*) as n from gps_fixes where gps_info <> '\\'\\'' group by 1) d "
                    "group by n order by n' " +
                    ShellQuoted(database) + " > " + keep + "/fixes-a-device.txt 2>&1";
                [[maybe_unused]] const int ignored = std::system(query.c_str());
            }
            std::printf("  the center's and the event server's logs are in %s\n", keep.c_str());
        }
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
    int settleSeconds = 60;
    bool numbered = false;
    std::string database;
    bool pgbench = false;
    std::vector<bool> journalModes{true, false};
    std::vector<std::string> servers;
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
        } else if (a == "--numbered") {
            numbered = true;
        } else if (i + 1 < argc && a == "--settle") {
            settleSeconds = std::atoi(argv[++i]);
        } else if (i + 1 < argc && a == "--database") {
            database = argv[++i];
        } else if (i + 1 < argc && a == "--event-server") {
            servers.emplace_back(argv[++i]);
        } else if (i + 1 < argc && a == "--journal" &&
                   (std::strcmp(argv[i + 1], "on") == 0 || std::strcmp(argv[i + 1], "off") == 0)) {
            journalModes = {std::strcmp(argv[++i], "on") == 0};
        } else {
            std::fprintf(stderr,
                         "usage: %s [--terminals N] [--interval MS] [--seconds S] [--rounds R] "
                         "[--database CONNINFO] [--pgbench] [--journal on|off] "
                         "[--event-server PATH]...\n",
                         argv[0]);
            return 2;
        }
    }
    if (pgbench && database.empty()) {
        std::fprintf(stderr, "--pgbench needs --database\n");
        return 2;
    }
    if (servers.empty()) {
        servers.emplace_back();  // the build's own
    }
    double pgbenchCalls = 0;
    // Sums over the rounds, by event server and center journal mode.
    std::vector<std::map<bool, Round>> sums(servers.size());
    // The measurements of a round take turns at going first: the machine's
    // disk and the database slow down over a run, and whatever always ran
    // last would always pay for it.
    struct Turn {
        bool pgbench = false;
        bool journal = false;
        std::size_t server = 0;
    };
    std::vector<Turn> turns;
    for (const bool journal : journalModes) {
        for (std::size_t s = 0; s < servers.size(); ++s) {
            turns.push_back({false, journal, s});
        }
    }
    if (pgbench) {
        turns.push_back({true});
    }
    const auto name = [&](std::size_t s) {
        return servers[s].empty() ? std::string("this build's event server") : servers[s];
    };
    for (int r = 0; r < rounds; ++r) {
        std::vector<Turn> order = turns;
        std::rotate(order.begin(), order.begin() + r % static_cast<int>(order.size()), order.end());
        for (const Turn& turn : order) {
            if (turn.pgbench) {
                const double calls = EmptyPgFixes(database) ? RunPgbench(database, seconds) : 0.0;
                std::printf("round %d, pgbench: %.0f gps_add calls/s\n", r + 1, calls);
                std::fflush(stdout);
                pgbenchCalls += calls / rounds;
                continue;
            }
            const Round round = RunOnce(
                turn.journal, terminals, std::chrono::milliseconds(intervalMs), seconds,
                std::chrono::seconds(settleSeconds), database, servers[turn.server], numbered);
            std::printf(
                "round %d, journal %-3s%s: %8.0f reports sent/s, %8.0f answered/s, %8.0f fixes "
                "stored/s while reporting; %zu fixes stored, %.0f/s over the round; event "
                "server %s\n",
                r + 1, turn.journal ? "on" : "off",
                servers.size() > 1 ? (", server " + std::to_string(turn.server + 1)).c_str() : "",
                round.sentPerSecond, round.answeredPerSecond, round.storedWhileReporting,
                round.stored, round.storedPerSecond, CpuText(round.cpuPerFix).c_str());
            std::printf("  while reporting: %s\n", StagesText(round).c_str());
            if (round.stored + round.repeated < round.answered) {
                std::printf(
                    "  %llu of the %llu reports answered are not stored after the settle (%llu "
                    "more were repeats)\n",
                    static_cast<unsigned long long>(round.answered - round.repeated - round.stored),
                    static_cast<unsigned long long>(round.answered),
                    static_cast<unsigned long long>(round.repeated));
            } else if (round.repeated > 0) {
                std::printf("  %llu of the reports answered were repeats, stored once\n",
                            static_cast<unsigned long long>(round.repeated));
            }
            std::fflush(stdout);
            Round& sum = sums[turn.server][turn.journal];
            sum.sentPerSecond += round.sentPerSecond / rounds;
            sum.answeredPerSecond += round.answeredPerSecond / rounds;
            sum.storedWhileReporting += round.storedWhileReporting / rounds;
            sum.storedPerSecond += round.storedPerSecond / rounds;
            for (const auto& [thread, us] : round.cpuPerFix) {
                sum.cpuPerFix[thread] += us / rounds;
            }
            sum.centerPerFix += round.centerPerFix / rounds;
            sum.fleetPerFix += round.fleetPerFix / rounds;
            sum.machinePerFix += round.machinePerFix / rounds;
        }
    }
    const auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    const char* const into = database.empty() ? "SQLite" : "PostgreSQL";
    for (std::size_t s = 0; s < servers.size(); ++s) {
        std::printf("%s:\n", name(s).c_str());
        for (const auto& [journal, sum] : sums[s]) {
            std::printf(
                "  %d terminals every %d ms into %s, journal %s: %.0f sent, %.0f answered, %.0f "
                "stored while reporting, %.0f stored over the round a second; event server %s\n",
                terminals, intervalMs, into, journal ? "on" : "off", sum.sentPerSecond,
                sum.answeredPerSecond, sum.storedWhileReporting, sum.storedPerSecond,
                CpuText(sum.cpuPerFix).c_str());
            std::printf("    while reporting: %s\n", StagesText(sum).c_str());
        }
        if (sums[s].size() == 2) {
            const Round& on = sums[s][true];
            const Round& off = sums[s][false];
            std::printf(
                "  journal on / off: answered %.3f, stored while reporting %.3f, whole round "
                "%.3f\n",
                ratio(on.answeredPerSecond, off.answeredPerSecond),
                ratio(on.storedWhileReporting, off.storedWhileReporting),
                ratio(on.storedPerSecond, off.storedPerSecond));
            if (pgbench) {
                std::printf(
                    "  pgbench %.0f calls a second; stored against it, on / off: while reporting "
                    "%.3f / %.3f, whole round %.3f / %.3f\n",
                    pgbenchCalls, ratio(on.storedWhileReporting, pgbenchCalls),
                    ratio(off.storedWhileReporting, pgbenchCalls),
                    ratio(on.storedPerSecond, pgbenchCalls),
                    ratio(off.storedPerSecond, pgbenchCalls));
            }
        }
    }
    if (servers.size() > 1) {
        for (std::size_t s = 1; s < servers.size(); ++s) {
            for (auto& [journal, sum] : sums[s]) {
                Round& first = sums[0][journal];
                std::printf(
                    "server %zu / server 1, journal %s: stored while reporting %.3f; CPU a fix",
                    s + 1, journal ? "on" : "off",
                    ratio(sum.storedWhileReporting, first.storedWhileReporting));
                for (const auto& [thread, us] : sum.cpuPerFix) {
                    std::printf(" %s %.3f", thread.empty() ? "all" : thread.c_str(),
                                ratio(us, first.cpuPerFix[thread]));
                }
                std::printf("\n");
            }
        }
    }
    return 0;
}
