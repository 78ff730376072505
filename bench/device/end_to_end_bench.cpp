// GPS updates per second from the simulator through the device library, the
// dialog and the database worker into SQLite and PostgreSQL, beside the rate
// of the worker alone on the same database in the same run; the loss (fixes
// sent minus rows stored); and the CPU the event server spends on a fleet
// updating once a second, thread by thread.
//
//   build/bin/bench_end_to_end                       SQLite
//   scripts/pg-test-server start /tmp/pgb &&
//     VARDO_TEST_PG_DIR=/tmp/pgb build/bin/bench_end_to_end    SQLite and PostgreSQL
//
// Options: --updates N (SQLite burst, 30000), --pg-updates N (2000),
// --rounds N (3), --cpu-devices N (10000), --cpu-seconds N (20), --no-cpu.

#include <libpq-fe.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "db/db_worker.h"
#include "db/schema.h"
#include "db/sql_command.h"
#include "sim/nmea.h"
#include "tests/sim/child_process.h"
#include "tests/sim/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// ---- databases -------------------------------------------------------------

// A fresh, empty database for each run, on one backend.
class Backend {
public:
    virtual ~Backend() = default;
    virtual std::string name() const = 0;
    // A new database; its connection string as Config.ini and the worker take it.
    virtual std::string fresh() = 0;
    // Rows of a table in the database of the last fresh(); -1 when unreadable.
    virtual long count(const std::string& table) = 0;
};

// The counts are read on one connection per database, kept open: opening one
// for every look would cost the database more than the count itself.
class SqliteBackend : public Backend {
public:
    explicit SqliteBackend(fs::path dir) : dir_(std::move(dir)) {}
    ~SqliteBackend() override { sqlite3_close(reader_); }
    std::string name() const override { return "SQLite"; }
    std::string fresh() override {
        sqlite3_close(reader_);
        reader_ = nullptr;
        path_ = dir_ / ("run-" + std::to_string(++runs_) + ".db");
        return "sqlite:" + path_.string();
    }
    long count(const std::string& table) override {
        if (reader_ == nullptr) {
            if (!fs::exists(path_) || sqlite3_open_v2(path_.c_str(), &reader_, SQLITE_OPEN_READONLY,
                                                      nullptr) != SQLITE_OK) {
                sqlite3_close(reader_);
                reader_ = nullptr;
                return -1;
            }
            sqlite3_busy_timeout(reader_, 5000);
        }
        long n = -1;
        sqlite3_stmt* s = nullptr;
        const std::string sql = "SELECT count(*) FROM " + table;
        if (sqlite3_prepare_v2(reader_, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW) {
            n = sqlite3_column_int64(s, 0);
        }
        sqlite3_finalize(s);
        return n;
    }

private:
    fs::path dir_;
    fs::path path_;
    sqlite3* reader_ = nullptr;
    int runs_ = 0;
};

bool pgExec(PGconn* c, const std::string& sql, std::string* result = nullptr) {
    PGresult* r = PQexec(c, sql.c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    if (ok && result != nullptr && PQntuples(r) > 0) {
        *result = PQgetvalue(r, 0, 0);
    }
    if (!ok) {
        std::fprintf(stderr, "bench: %s", PQerrorMessage(c));
    }
    PQclear(r);
    return ok;
}

bool pgExec(const std::string& conninfo, const std::string& sql) {
    PGconn* c = PQconnectdb(conninfo.c_str());
    const bool ok = PQstatus(c) == CONNECTION_OK && pgExec(c, sql);
    if (PQstatus(c) != CONNECTION_OK) {
        std::fprintf(stderr, "bench: %s", PQerrorMessage(c));
    }
    PQfinish(c);
    return ok;
}

class PostgresqlBackend : public Backend {
public:
    explicit PostgresqlBackend(std::string admin) : admin_(std::move(admin)) {}
    ~PostgresqlBackend() override { dropLast(); }
    std::string name() const override { return "PostgreSQL"; }
    std::string fresh() override {
        dropLast();
        db_ = "vardo_e2e_" + std::to_string(::getpid()) + "_" + std::to_string(++runs_);
        if (!pgExec(admin_, "CREATE DATABASE " + db_)) {
            return {};
        }
        conninfo_ = admin_ + " dbname=" + db_;
        if (!pgExec(conninfo_, std::string(db::PostgresqlSchemaSql()))) {
            return {};
        }
        reader_ = PQconnectdb(conninfo_.c_str());
        return conninfo_;
    }
    long count(const std::string& table) override {
        std::string n;
        return reader_ != nullptr && pgExec(reader_, "SELECT count(*) FROM " + table, &n)
                   ? std::stol(n)
                   : -1;
    }

private:
    void dropLast() {
        if (reader_ != nullptr) {
            PQfinish(reader_);
            reader_ = nullptr;
        }
        if (!db_.empty()) {
            pgExec(admin_, "DROP DATABASE IF EXISTS " + db_ + " WITH (FORCE)");
            db_.clear();
        }
    }

    std::string admin_;
    std::string db_;
    std::string conninfo_;
    PGconn* reader_ = nullptr;
    int runs_ = 0;
};

// Waits until the table has `rows` rows or nothing has changed for `still`;
// the last count.
long waitForRows(Backend& backend, const std::string& table, long rows, Clock::duration still = 10s,
                 Clock::duration poll = 100ms) {
    long last = -2;
    auto changed = Clock::now();
    for (;;) {
        const long n = backend.count(table);
        if (n >= rows) {
            return n;
        }
        if (n != last) {
            last = n;
            changed = Clock::now();
        } else if (Clock::now() - changed > still) {
            return n;
        }
        std::this_thread::sleep_for(poll);
    }
}

// ---- the worker alone --------------------------------------------------------

std::string fix(int i) {
    sim::RmcFix f{true, 30.2 + (i % 1000) * 1e-4, 120.1 + (i % 777) * 1e-4, 20.0 + i % 30, 90.0};
    return sim::rmcSentence(i % 2 ? "GN" : "GP", f, std::chrono::system_clock::now());
}

// Statements per second through the queue and the worker, as the dialog
// hands them over: the same devices come online first (untimed), so that each
// fix updates its device's row as it does on the whole road.
double workerOnlyRate(Backend& backend, int updates, int devices = 1000) {
    const std::string cs = backend.fresh();
    CMyDbConnection connection;
    CMyCommandQueue queue;
    CDbWorker worker(queue, connection, cs);
    if (cs.empty() || !connection.Open(cs, 15) || !worker.Start()) {
        std::fprintf(stderr, "bench: cannot open %s\n", cs.c_str());
        return 0;
    }
    for (int d = 0; d < devices; ++d) {
        queue.Push(db::MakeOnlineEvent("VD" + std::to_string(d)));
        queue.Push(db::MakeGpsFix("VD" + std::to_string(d), 0, 0, 0, 0, ""));
    }
    const auto online = static_cast<std::uint64_t>(2 * devices);
    while (worker.Counters().executed < online) {
        std::this_thread::sleep_for(1ms);
    }
    std::vector<db::SqlCommand> batch;
    for (int i = 0; i < updates; ++i) {
        batch.push_back(
            db::MakeGpsFix("VD" + std::to_string(i % devices), 30.2, 120.1, 37.04, 90, fix(i)));
    }
    const auto start = Clock::now();
    for (auto& c : batch) {
        queue.Push(std::move(c));
    }
    while (worker.Counters().executed < online + static_cast<std::uint64_t>(updates)) {
        std::this_thread::sleep_for(1ms);
    }
    const double rate = updates / seconds(Clock::now() - start);
    worker.Stop(10000);
    connection.Close();
    return rate;
}

// ---- the whole road ----------------------------------------------------------

std::string eventServerPath() {
    return VARDO_EVENT_SERVER_PATH;
}

// The event server in a program directory of its own.
class ServerRun {
public:
    ServerRun(const std::string& connectionString, std::uint16_t port) {
        char dir[] = "/tmp/vardo-bench-home-XXXXXX";
        home_ = mkdtemp(dir);
        std::ofstream(home_ / "Config.ini")
            << "[VardoEventServer]\nEventServer_ConnectString=" << connectionString
            << "\nEventServer_CenterServerAddr=127.0.0.1\nEventServer_CenterServerTcpPort=" << port
            << "\nEventServer_CenterServerUdpPort=0\n";
        process_ = std::make_unique<testsim::ChildProcess>(
            std::vector<std::string>{eventServerPath(), "--headless", "--home", home_.string()});
    }
    ~ServerRun() {
        stop();
        fs::remove_all(home_);
    }
    int stop() { return process_->stop(SIGTERM, 60s); }
    pid_t pid() const { return process_->pid(); }
    std::string log() const { return process_->errors(); }

private:
    fs::path home_;
    std::unique_ptr<testsim::ChildProcess> process_;
};

struct RoadResult {
    double rate = 0;
    long lost = 0;
};

std::string onlineScript(int devices) {
    std::string script = "wait-login\n";
    for (int d = 0; d < devices; ++d) {
        script += "online d" + std::to_string(d) + " VD" + std::to_string(d) + " 1 V D\n";
    }
    return script;
}

// A burst of GPS updates from the simulator to the rows, once the devices
// are online.
RoadResult endToEndRate(Backend& backend, int updates, int devices = 1000) {
    RoadResult result;
    const std::string cs = backend.fresh();
    testsim::SimProcess sim;
    ServerRun server(cs, sim.tcpPort());
    sim.send(onlineScript(devices));
    if (waitForRows(backend, "gps_fixes", devices) < devices) {
        std::fprintf(stderr, "bench: the devices did not come online\n%s", server.log().c_str());
        result.lost = -1;
        return result;
    }
    std::string script;
    for (int i = 0; i < updates; ++i) {
        script += "gps d" + std::to_string(i % devices) + " " + fix(i) + "\n";
    }
    const auto start = Clock::now();
    sim.send(script);
    const long stored = waitForRows(backend, "gps_fixes", devices + updates) - devices;
    result.rate = stored / seconds(Clock::now() - start);
    result.lost = updates - stored;
    server.stop();
    return result;
}

// ---- CPU ---------------------------------------------------------------------

// Clock ticks spent by a process or one of its threads.
long ticks(const std::string& statPath) {
    std::ifstream in(statPath);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) {
            utime = std::stol(field);
        } else if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

std::string threadName(pid_t pid, const std::string& tid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + tid + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// Ticks per thread group: "window" (the main thread), "device I/O", "other
// (database worker, signals)".
std::map<std::string, long> threadTicks(pid_t pid) {
    std::map<std::string, long> out;
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(tasks, ec)) {
        const std::string tid = entry.path().filename();
        std::string group = "other (database worker, signals)";
        if (tid == std::to_string(pid)) {
            group = "window";
        } else if (threadName(pid, tid) == "vardo-io") {
            group = "device I/O";
        }
        out[group] += ticks(entry.path() / "stat");
    }
    return out;
}

void cpuAtFleet(Backend& backend, int devices, int measureSeconds) {
    const std::string cs = backend.fresh();
    const long hz = sysconf(_SC_CLK_TCK);
    testsim::SimProcess sim({"--devices", std::to_string(devices), "--gps-interval", "1", "--churn",
                             "0", "--alarm-rate", "0", "--seed", "1"});
    ServerRun server(cs, sim.tcpPort());
    sim.closeInput();
    if (waitForRows(backend, "device_events", devices, 60s, 200ms) < devices) {
        std::printf("  %s: the fleet did not come online\n", backend.name().c_str());
        return;
    }
    std::this_thread::sleep_for(3s);  // past the burst of the first updates
    const std::string procStat = "/proc/" + std::to_string(server.pid()) + "/stat";
    const long fixes0 = backend.count("gps_fixes");
    const auto before = threadTicks(server.pid());
    const long total0 = ticks(procStat);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(measureSeconds));
    const double wall = seconds(Clock::now() - start);
    const auto after = threadTicks(server.pid());
    const long total1 = ticks(procStat);
    const long fixes1 = backend.count("gps_fixes");

    const double cores = (total1 - total0) / double(hz) / wall;
    std::printf("  %s, %d devices, one update a second, %.0f s:\n", backend.name().c_str(), devices,
                wall);
    std::printf("    rows stored          %.0f GPS fixes/s\n", (fixes1 - fixes0) / wall);
    std::printf("    event server         %.3f cores, %.4f cores per 1,000 devices\n", cores,
                cores * 1000.0 / devices);
    for (const auto& [group, t] : after) {
        const long t0 = before.contains(group) ? before.at(group) : 0;
        std::printf("      %-32s %.3f cores\n", group.c_str(), (t - t0) / double(hz) / wall);
    }

    // Loss: the simulator names how many updates it sent once it has stopped.
    sim.stop();
    const long stored = waitForRows(backend, "gps_fixes", 1L << 40, 5s, 200ms);
    server.stop();
    const std::string log = sim.log();
    const auto at = log.rfind("; sent ");
    const long sent = at == std::string::npos ? -1 : std::stol(log.substr(at + 7));
    // Each device's online brings one fix of its own.
    std::printf("    fixes sent %ld, rows %ld (minus %d from the onlines): lost %ld\n", sent,
                stored, devices, sent - (stored - devices));
}

// ---- main ----------------------------------------------------------------------

int intOption(int argc, char** argv, const std::string& name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] == name) {
            return std::atoi(argv[i + 1]);
        }
    }
    return fallback;
}

bool flag(int argc, char** argv, const std::string& name) {
    return std::find(argv + 1, argv + argc, name) != argv + argc;
}

}  // namespace

int main(int argc, char** argv) {
    const int updates = intOption(argc, argv, "--updates", 30000);
    const int pgUpdates = intOption(argc, argv, "--pg-updates", 2000);
    const int rounds = intOption(argc, argv, "--rounds", 3);
    const int cpuDevices = intOption(argc, argv, "--cpu-devices", 10000);
    const int cpuSeconds = intOption(argc, argv, "--cpu-seconds", 20);

    char dir[] = "/tmp/vardo-bench-XXXXXX";
    const fs::path work = mkdtemp(dir);
    std::vector<std::pair<std::unique_ptr<Backend>, int>> backends;
    backends.emplace_back(std::make_unique<SqliteBackend>(work), updates);
    if (const char* pgDir = std::getenv("VARDO_TEST_PG_DIR"); pgDir != nullptr && *pgDir) {
        std::ifstream in(std::string(pgDir) + "/conninfo");
        std::string admin;
        std::getline(in, admin);
        if (!admin.empty()) {
            backends.emplace_back(std::make_unique<PostgresqlBackend>(admin), pgUpdates);
        }
    } else {
        std::printf("PostgreSQL skipped: set VARDO_TEST_PG_DIR (scripts/pg-test-server)\n");
    }

    std::printf(
        "GPS updates per second; the worker alone and the whole road alternate, "
        "%d rounds\n",
        rounds);
    for (auto& [backend, n] : backends) {
        double workerBest = 0;
        double roadBest = 0;
        long lost = 0;
        for (int r = 0; r < rounds; ++r) {
            double w = 0;
            RoadResult road;
            if (r % 2 == 0) {
                w = workerOnlyRate(*backend, n);
                road = endToEndRate(*backend, n);
            } else {
                road = endToEndRate(*backend, n);
                w = workerOnlyRate(*backend, n);
            }
            std::printf(
                "  %-10s round %d: worker alone %8.0f/s, simulator to rows %8.0f/s "
                "(%.2f), lost %ld\n",
                backend->name().c_str(), r + 1, w, road.rate, w > 0 ? road.rate / w : 0, road.lost);
            std::fflush(stdout);
            workerBest = std::max(workerBest, w);
            roadBest = std::max(roadBest, road.rate);
            lost += road.lost;
        }
        std::printf(
            "  %-10s best: worker alone %.0f/s, simulator to rows %.0f/s, "
            "ratio %.2f, lost %ld in all\n",
            backend->name().c_str(), workerBest, roadBest, roadBest / workerBest, lost);
    }
    if (!flag(argc, argv, "--no-cpu")) {
        std::printf("CPU of the event server\n");
        for (auto& [backend, n] : backends) {
            cpuAtFleet(*backend, cpuDevices, cpuSeconds);
            std::fflush(stdout);
        }
    }
    backends.clear();
    fs::remove_all(work);
    return 0;
}
