// GPS updates per second from the simulator through the device library, the
// dialog and the database worker into SQLite and PostgreSQL, beside the rate
// of the worker alone on the same backend in the same run; the loss (fixes
// sent minus rows stored); and the CPU the event server spends on a fleet
// updating once a second, thread by thread.
//
// The two rates are taken in alternating bursts on two setups that stay up
// (the event server with the simulator on one database, a worker of the
// bench's own on another), so that the shared machine's changing load and
// the disk's changing fsync time fall on both alike.
//
//   build/bin/bench_end_to_end                       SQLite
//   scripts/pg-test-server start /tmp/pgb &&
//     VARDO_TEST_PG_DIR=/tmp/pgb build/bin/bench_end_to_end    SQLite and PostgreSQL
//
// Options: --burst N (smallest SQLite burst, 5000), --pg-burst N (500),
// --bursts N (6 of each), --cpu-devices N (10000), --cpu-seconds N (20),
// --no-cpu. Bursts grow to about three seconds of the worker's work.

#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/process_stats.h"
#include "bench/db/bench_databases.h"
#include "db/db_worker.h"
#include "db/sql_command.h"
#include "gps/rmc_writer.h"
#include "testsupport/process/event_server_run.h"
#include "testsupport/process/sim_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// ---- databases -------------------------------------------------------------

// One database; its rows are counted on a connection of the bench's own, kept
// open (opening one for every look would cost more than the count).
class Database {
public:
    virtual ~Database() = default;
    // As Config.ini and the worker take it; empty when it could not be made.
    virtual const std::string& connectionString() const = 0;
    // Rows of a table; -1 when unreadable (not created yet).
    virtual long count(const std::string& table) = 0;
};

class SqliteDatabase : public Database {
public:
    explicit SqliteDatabase(std::string connectionString)
        : path_(connectionString.substr(std::string_view("sqlite:").size())),
          cs_(std::move(connectionString)) {}
    ~SqliteDatabase() override { sqlite3_close(reader_); }
    const std::string& connectionString() const override { return cs_; }
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
    fs::path path_;
    std::string cs_;
    sqlite3* reader_ = nullptr;
};

class PostgresqlDatabase : public Database {
public:
    PostgresqlDatabase(std::string connectionString, std::string name)
        : cs_(std::move(connectionString)), name_(std::move(name)) {
        if (!cs_.empty()) {
            reader_ = PQconnectdb(cs_.c_str());
        }
    }
    ~PostgresqlDatabase() override {
        PQfinish(reader_);
        dbbench::DropDatabase(dbbench::Backend::Postgresql, name_);
    }
    const std::string& connectionString() const override { return cs_; }
    long count(const std::string& table) override {
        if (reader_ == nullptr) {
            return -1;
        }
        PGresult* r = PQexec(reader_, ("SELECT count(*) FROM " + table).c_str());
        long n = -1;
        if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0) {
            n = std::stol(PQgetvalue(r, 0, 0));
        } else {
            std::fprintf(stderr, "bench: %s", PQerrorMessage(reader_));
        }
        PQclear(r);
        return n;
    }

private:
    std::string cs_;
    std::string name_;
    PGconn* reader_ = nullptr;
};

// A backend of the run's databases; each setup gets a fresh database of it.
class Backend {
public:
    explicit Backend(dbbench::Backend kind) : kind_(kind) {}
    std::string name() const { return kind_ == dbbench::Backend::Sqlite ? "SQLite" : "PostgreSQL"; }
    std::unique_ptr<Database> create() {
        const std::string name = "road_" + std::to_string(++runs_);
        std::string why;
        std::string cs = dbbench::CreateDatabase(kind_, name, &why);
        if (cs.empty()) {
            std::fprintf(stderr, "bench: %s\n", why.c_str());
        }
        if (kind_ == dbbench::Backend::Sqlite) {
            return std::make_unique<SqliteDatabase>(std::move(cs));
        }
        return std::make_unique<PostgresqlDatabase>(std::move(cs), name);
    }

private:
    dbbench::Backend kind_;
    int runs_ = 0;
};

// Waits until the table has `rows` rows or nothing has changed for `still`;
// the last count.
long waitForRows(Database& db, const std::string& table, long rows, Clock::duration still = 10s,
                 Clock::duration poll = 20ms) {
    long last = -2;
    auto changed = Clock::now();
    for (;;) {
        const long n = db.count(table);
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

std::string fix(int i) {
    gps::RmcFix f{true, 30.2 + (i % 1000) * 1e-4, 120.1 + (i % 777) * 1e-4, 20.0 + i % 30, 90.0};
    return gps::rmcSentence(i % 2 ? "GN" : "GP", f, std::chrono::system_clock::now());
}

std::string deviceName(int d) {
    return "VD" + std::to_string(d);
}

// ---- the worker alone --------------------------------------------------------

// The queue and the worker on a database of their own, fed as the dialog
// feeds them. The devices come online first, so that each fix updates its
// device's row as it does on the whole road.
class WorkerAlone {
public:
    WorkerAlone(Backend& backend, int devices)
        : db_(backend.create()),
          worker_(queue_, connection_, db_->connectionString()),
          devices_(devices) {
        ok_ = !db_->connectionString().empty() && connection_.Open(db_->connectionString(), 15) &&
              worker_.Start();
        for (int d = 0; ok_ && d < devices; ++d) {
            queue_.Push(db::MakeOnlineEvent(deviceName(d)));
            queue_.Push(db::MakeGpsFix(deviceName(d), {0, 0, 0, 0}, ""));
        }
        waitExecuted(2 * static_cast<std::uint64_t>(devices));
    }
    ~WorkerAlone() {
        worker_.Stop(10000);
        connection_.Close();
    }
    bool ok() const { return ok_; }

    // Seconds for a burst of fixes to be stored, seen as the road's are: by
    // counting the rows.
    double burst(int updates, int first) {
        std::vector<db::SqlCommand> batch;
        for (int i = first; i < first + updates; ++i) {
            batch.push_back(
                db::MakeGpsFix(deviceName(i % devices_), {30.2, 120.1, 37.04, 90}, fix(i)));
        }
        const long target = db_->count("gps_fixes") + updates;
        const auto start = Clock::now();
        for (auto& c : batch) {
            queue_.Push(std::move(c));
        }
        waitForRows(*db_, "gps_fixes", target);
        return seconds(Clock::now() - start);
    }

private:
    void waitExecuted(std::uint64_t n) {
        // Coarse polling: it must not take the CPU the worker needs.
        while (ok_ && worker_.Counters().executed < n) {
            std::this_thread::sleep_for(1ms);
        }
    }

    std::unique_ptr<Database> db_;
    CMyDbConnection connection_;
    CMyCommandQueue queue_;
    CDbWorker worker_;
    int devices_;
    bool ok_ = false;
};

// ---- the whole road ----------------------------------------------------------

// The simulator, scripted, and the event server on a database of their own,
// with the devices online.
class Road {
public:
    Road(Backend& backend, int devices)
        : db_(backend.create()),
          server_(sim_.tcpPort(), e2e::RunSettings{.connectString = db_->connectionString()}),
          devices_(devices) {
        server_.start();
        std::string script = "wait-login\n";
        for (int d = 0; d < devices; ++d) {
            script += "online d" + std::to_string(d) + " " + deviceName(d) + " 1 V D\n";
        }
        sim_.send(script);
        stored_ = waitForRows(*db_, "gps_fixes", devices);
        ok_ = stored_ >= devices;
        if (!ok_) {
            std::fprintf(stderr, "bench: the devices did not come online\n%s",
                         server_.log().c_str());
        }
    }
    ~Road() { server_.stop(); }
    bool ok() const { return ok_; }
    long lost() const { return lost_; }
    long sent() const { return sent_; }

    // Seconds from handing the simulator a burst of fixes to their rows.
    double burst(int updates, int first) {
        std::string script;
        for (int i = first; i < first + updates; ++i) {
            script += "gps d" + std::to_string(i % devices_) + " " + fix(i) + "\n";
        }
        const long target = stored_ + updates;
        const auto start = Clock::now();
        sim_.send(script);
        const long now = waitForRows(*db_, "gps_fixes", target);
        const double took = seconds(Clock::now() - start);
        lost_ += target - now;
        sent_ += updates;
        stored_ = now;
        return took;
    }

private:
    std::unique_ptr<Database> db_;
    testsim::SimProcess sim_;
    e2e::EventServerRun server_;
    int devices_;
    long stored_ = 0;
    long lost_ = 0;
    long sent_ = 0;
    bool ok_ = false;
};

void compareRates(Backend& backend, int burst, int bursts, int devices) {
    WorkerAlone alone(backend, devices);
    Road road(backend, devices);
    if (!alone.ok() || !road.ok()) {
        std::printf("  %s: cannot set up\n", backend.name().c_str());
        return;
    }
    // Bursts of about three seconds each, so that the road's fixed latency
    // (a few milliseconds from script line to row) and the 20 ms polling
    // weigh little: a first burst of the worker alone tells its rate.
    const double warmRate = burst / alone.burst(burst, 0);
    burst = std::max(burst, static_cast<int>(warmRate * 3));
    road.burst(burst / 10, 0);  // warms the road up as well
    double aloneSeconds = 0;
    double roadSeconds = 0;
    std::vector<double> ratios;
    for (int b = 0; b < bursts; ++b) {
        double a = 0;
        double r = 0;
        if (b % 2 == 0) {
            a = alone.burst(burst, b * burst);
            r = road.burst(burst, b * burst);
        } else {
            r = road.burst(burst, b * burst);
            a = alone.burst(burst, b * burst);
        }
        aloneSeconds += a;
        roadSeconds += r;
        ratios.push_back(a / r);
    }
    std::sort(ratios.begin(), ratios.end());
    const double total = static_cast<double>(burst) * bursts;
    std::printf(
        "  %-10s worker alone %7.0f/s   simulator to rows %7.0f/s   ratio %.2f "
        "(bursts %.2f to %.2f, median %.2f)   lost %ld of %.0f\n",
        backend.name().c_str(), total / aloneSeconds, total / roadSeconds,
        aloneSeconds / roadSeconds, ratios.front(), ratios.back(), ratios[ratios.size() / 2],
        road.lost(), total);
    std::fflush(stdout);
}

// ---- CPU ---------------------------------------------------------------------

// CPU seconds per thread group: "window" (the main thread), "device I/O",
// "other (database worker, signals)".
std::map<std::string, double> threadSeconds(pid_t pid) {
    std::map<std::string, double> out;
    for (const auto& t : benchproc::threadCpu(std::to_string(pid))) {
        std::string group = "other (database worker, signals)";
        if (t.id == std::to_string(pid)) {
            group = "window";
        } else if (t.name == "vardo-io") {
            group = "device I/O";
        }
        out[group] += t.seconds;
    }
    return out;
}

void cpuAtFleet(Backend& backend, int devices, int measureSeconds) {
    const auto database = backend.create();
    Database& db = *database;
    const std::string cs = db.connectionString();
    testsim::SimProcess sim({"--devices", std::to_string(devices), "--gps-interval", "1", "--churn",
                             "0", "--alarm-rate", "0", "--seed", "1"});
    e2e::EventServerRun server(sim.tcpPort(), e2e::RunSettings{.connectString = cs});
    server.start();
    sim.closeInput();
    if (waitForRows(db, "device_events", devices, 60s, 200ms) < devices) {
        std::printf("  %s: the fleet did not come online\n", backend.name().c_str());
        return;
    }
    std::this_thread::sleep_for(3s);  // past the burst of the first updates
    const long fixes0 = db.count("gps_fixes");
    const auto before = threadSeconds(server.pid());
    const double total0 = benchproc::cpuSeconds(server.pid());
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(measureSeconds));
    const double wall = seconds(Clock::now() - start);
    const auto after = threadSeconds(server.pid());
    const double total1 = benchproc::cpuSeconds(server.pid());
    const long fixes1 = db.count("gps_fixes");

    const double cores = (total1 - total0) / wall;
    std::printf("  %s, %d devices, one update a second, %.0f s:\n", backend.name().c_str(), devices,
                wall);
    std::printf("    rows stored          %.0f GPS fixes/s\n", (fixes1 - fixes0) / wall);
    std::printf("    event server         %.3f cores, %.4f cores per 1,000 devices\n", cores,
                cores * 1000.0 / devices);
    for (const auto& [group, t] : after) {
        const double t0 = before.contains(group) ? before.at(group) : 0;
        std::printf("      %-32s %.3f cores\n", group.c_str(), (t - t0) / wall);
    }

    // Loss: the simulator names how many updates it sent once it has stopped;
    // the worker may still have a backlog to store.
    sim.stop();
    std::printf("    waiting for the worker to store its backlog...\n");
    std::fflush(stdout);
    const long stored = waitForRows(db, "gps_fixes", 1L << 40, 10s, 500ms);
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
    const int burst = intOption(argc, argv, "--burst", 5000);
    const int pgBurst = intOption(argc, argv, "--pg-burst", 500);
    const int bursts = intOption(argc, argv, "--bursts", 6);
    const int cpuDevices = intOption(argc, argv, "--cpu-devices", 10000);
    const int cpuSeconds = intOption(argc, argv, "--cpu-seconds", 20);

    if (!dbbench::SetUp()) {
        return 1;
    }
    std::vector<std::pair<std::unique_ptr<Backend>, int>> backends;
    backends.emplace_back(std::make_unique<Backend>(dbbench::Backend::Sqlite), burst);
    // Each setup has a database of its own, which only the test server can make.
    if (const std::string why = dbbench::CreateSkipReason(dbbench::Backend::Postgresql);
        why.empty()) {
        backends.emplace_back(std::make_unique<Backend>(dbbench::Backend::Postgresql), pgBurst);
    } else {
        std::printf("PostgreSQL skipped: %s\n", why.c_str());
    }
    std::printf("GPS updates per second, %d bursts each, alternating\n", bursts);
    for (auto& [backend, n] : backends) {
        compareRates(*backend, n, bursts, std::min(1000, n));
    }
    if (!flag(argc, argv, "--no-cpu")) {
        // On SQLite only: the device path costs the same on every backend, and
        // a private PostgreSQL server committing a few hundred statements a
        // second could not store a large fleet's fixes in any useful time.
        std::printf("CPU of the event server\n");
        cpuAtFleet(*backends.front().first, cpuDevices, cpuSeconds);
    }
    backends.clear();
    dbbench::TearDown();
    return 0;
}
