// The scale-out on one machine: HAProxy in front of two centers sharing a
// registry in PostgreSQL, an event server per center writing the same
// database, and a fleet of simulated terminals reporting numbered fixes. One
// center is killed: every terminal logs in again through the other with the
// code it holds; the killed center is started again on its data folder, as
// systemd does, and hands its event server what it had answered but not yet
// passed on; every fix a terminal made is stored exactly once, and the
// devices rows end with each terminal's last fix and state.
// VARDO_SCALE_TERMINALS sets the fleet (100 by default).

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "sim/terminal/codes_file.h"
#include "sim/terminal/fleet.h"
#include "tests/e2e/fix_tally.h"
#include "tests/e2e/scale_out_support.h"
#include "testsupport/io_thread/io_thread.h"
#include "testsupport/process/center_process.h"
#include "testsupport/process/event_server_run.h"

namespace e2e {
namespace {

constexpr char kHaproxy[] = "/usr/sbin/haproxy";

// A port nothing listens on just now, for HAProxy (it prints none of its own).
std::uint16_t FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

bool Accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// The same settings as packaging/haproxy/vardo-centers.cfg, on test ports.
// `maxconn` within what the test may open: HAProxy needs two descriptors a
// connection and refuses to start without them.
std::string HaproxyConfig(std::uint16_t front, std::uint16_t a, std::uint16_t b, int maxconn) {
    std::ostringstream cfg;
    cfg << "global\n  maxconn " << maxconn << "\n"
        << "defaults\n  mode tcp\n  timeout connect 2s\n  timeout client 10m\n"
        << "  timeout server 10m\n  retries 3\n  option redispatch\n"
        << "frontend jt808\n  bind 127.0.0.1:" << front << "\n  default_backend centers\n"
        << "backend centers\n  balance leastconn\n"
        << "  server a 127.0.0.1:" << a << " send-proxy-v2 check inter 1s fall 2 rise 2\n"
        << "  server b 127.0.0.1:" << b << " send-proxy-v2 check inter 1s fall 2 rise 2\n";
    return cfg.str();
}

// Which terminals are logged in just now, from the fleet's lines. Fed and
// read on the fleet's io thread only.
class LoggedIn {
public:
    void note(const std::string& line) {
        if (!line.starts_with("terminal ")) {
            return;
        }
        const auto colon = line.find(": ");
        if (colon == std::string::npos) {
            return;
        }
        const std::string phone = line.substr(9, colon - 9);
        const std::string what = line.substr(colon + 2);
        if (what == "authenticated") {
            phones_.insert(phone);
        } else if (what.starts_with("disconnected") || what == "connected") {
            phones_.erase(phone);
        }
    }
    std::size_t count() const { return phones_.size(); }

private:
    std::set<std::string> phones_;
};

// The numbered fixes stored in the shared database.
std::vector<FixRow> StoredFixes(pgtest::TestDatabase& database) {
    std::vector<FixRow> fixes;
    for (const auto& row :
         database.Query("SELECT device_name, latitude, longitude, gps_info FROM gps_fixes "
                        "WHERE latitude IS NOT NULL AND longitude IS NOT NULL")) {
        fixes.push_back(FixRow{.device = row[0],
                               .latitude = std::stod(row[1]),
                               .longitude = std::stod(row[2]),
                               .gps = row[3]});
    }
    return fixes;
}

// Stops the fleet's thread before the fleet goes, however the test ends.
struct StopFirst {
    testsim::IoThread& io;
    ~StopFirst() { io.stop(); }
};

TEST(ScaleOut, TerminalsOfAKilledCenterComeBackThroughTheOtherBehindHaproxy) {
    if (::access(kHaproxy, X_OK) != 0) {
        GTEST_SKIP() << kHaproxy << " is missing: install the Debian package haproxy "
                     << "(scripts/bootstrap does) to run the scale-out test";
    }
    std::string error;
    const auto database = pgtest::TestDatabase::Create(error);
    if (!database) {
        GTEST_SKIP() << "no PostgreSQL for the test: " << error;
    }
    const char* wanted = std::getenv("VARDO_SCALE_TERMINALS");
    const int terminals = wanted != nullptr ? std::max(2, std::atoi(wanted)) : 100;
    const std::string registry = database->ConnInfo();
    TempFolder dataA;
    TempFolder dataB;
    TempFolder work;
    // HAProxy names each terminal (all of them 127.0.0.1 here, so the
    // per-address limit must still hold the whole reconnecting fleet).
    const std::vector<std::string> centerArgs{"--registry",
                                              registry,
                                              "--open-registration",
                                              "--proxy-protocol",
                                              "--max-unauthenticated",
                                              "20000",
                                              "--max-unauthenticated-per-address",
                                              "20000",
                                              "--status-interval",
                                              "0"};
    auto a = std::make_unique<CenterProcess>(dataA.path(), centerArgs);
    CenterProcess b(dataB.path(), centerArgs);
    ASSERT_TRUE(a->started() && b.started()) << a->log() << b.log();
    EventServerRun serverA(a->tcpPort(), RunSettings{.connectString = registry});
    EventServerRun serverB(b.tcpPort(), RunSettings{.connectString = registry});
    serverA.start();
    serverB.start();
    ASSERT_TRUE(a->waitForLog("logged in as 'root'")) << a->log() << serverA.log();
    ASSERT_TRUE(b.waitForLog("logged in as 'root'")) << b.log() << serverB.log();

    const std::uint16_t front = FreePort();
    const std::string cfg = work.path() + "/haproxy.cfg";
    std::ofstream(cfg) << HaproxyConfig(front, a->jt808Port(), b.jt808Port(), 2 * terminals + 100);
    testsim::ChildProcess haproxy({kHaproxy, "-db", "-f", cfg});
    for (int i = 0; i < 100 && !Accepts(front); ++i) {
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_TRUE(Accepts(front)) << haproxy.errors();

    testsim::IoThread io;
    sim::terminal::CodesFile codes(work.path() + "/codes");
    LoggedIn loggedIn;
    sim::terminal::FleetConfig config;
    config.port = front;
    config.terminals = terminals;
    config.numberedFixes = true;
    config.locationInterval = 1s;
    config.reconnectDelay = 1s;
    config.ramp = 2s;
    config.driverCard = false;
    sim::terminal::Fleet fleet(io.context(), config, codes,
                               [&loggedIn](const std::string& line) { loggedIn.note(line); });
    const StopFirst stopFirst{io};
    io.start();
    io.call([&] { fleet.start(); });
    const auto online = [&] { return io.call([&] { return loggedIn.count(); }); };
    const auto all = static_cast<std::size_t>(terminals);

    auto deadline = std::chrono::steady_clock::now() + 60s;
    while (online() < all && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_EQ(online(), all) << a->log();
    std::this_thread::sleep_for(3s);  // fixes flow through both centers
    const int onA = testsim::countOf(a->log(), ") logged in (");
    EXPECT_GT(onA, 0) << "HAProxy sent no terminal to center a";

    // A center dies without a word.
    const auto killedAt = std::chrono::system_clock::now();
    const auto killed = std::chrono::steady_clock::now();
    ::kill(a->pid(), SIGKILL);
    std::chrono::steady_clock::time_point back;
    deadline = killed + 60s;
    for (;;) {
        const std::size_t now = online();
        if (now == all && testsim::countOf(b.log(), ") logged in (") >= terminals) {
            back = std::chrono::steady_clock::now();
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            FAIL() << now << " of " << terminals << " online\n" << b.log();
        }
        std::this_thread::sleep_for(100ms);
    }
    const auto failover = std::chrono::duration_cast<std::chrono::milliseconds>(back - killed);
    EXPECT_LT(failover, 30s);
    std::this_thread::sleep_for(3s);  // fixes flow through the center left

    // The terminals make no new fixes; the center left answers what they
    // still hold. What is then missing was answered by the killed center
    // but never reached its event server.
    io.call([&] { fleet.stopReporting(); });
    std::vector<std::uint64_t> made = io.call([&] { return fleet.reportsMade(); });
    deadline = std::chrono::steady_clock::now() + 30s + terminals * 20ms;
    while (io.call([&] { return fleet.unansweredReports(); }) > 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_EQ(io.call([&] { return fleet.unansweredReports(); }), 0u) << b.log();
    Tally tally = Count(StoredFixes(*database), made);
    for (std::uint64_t before = 0;
         tally.lost > 0 && tally.stored != before && std::chrono::steady_clock::now() < deadline;) {
        before = tally.stored;
        std::this_thread::sleep_for(1s);
        tally = Count(StoredFixes(*database), made);
    }
    const std::uint64_t lostWhileDown = tally.lost;

    // The killed center comes back on its journal and hands its event
    // server the rest.
    a = restartCenter(dataA.path(), *a, centerArgs);
    ASSERT_TRUE(a) << "the killed center did not start again";
    deadline = std::chrono::steady_clock::now() + 30s + terminals * 60ms;
    while (tally.lost > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(300ms);
        tally = Count(StoredFixes(*database), made);
    }

    // The fleet stops: every device goes offline at its last position.
    io.call([&] { fleet.stop(); });
    const std::string allText = std::to_string(terminals);
    EXPECT_EQ(
        WaitForValue(*database, "SELECT count(*) FROM devices WHERE online = 0", allText, 60s),
        allText)
        << b.log() << serverB.log();

    // Every numbered fix stored exactly once; doubles arriving last are
    // counted too.
    tally = Count(StoredFixes(*database), made);
    EXPECT_GT(tally.sent, static_cast<std::uint64_t>(terminals) * 5);
    EXPECT_EQ(tally.lost, 0u) << tally.firstLost << a->log() << serverA.log();
    EXPECT_EQ(tally.doubled, 0u) << b.log() << serverB.log();
    EXPECT_EQ(fleet.counters().reportsGivenUp.load(), 0u);

    const auto count = [&](const std::string& sql) {
        const auto rows = database->Query(sql);
        return rows.empty() || rows[0].empty() ? std::string("<none>") : rows[0][0];
    };
    // No fix twice: each terminal's sentence carries its own time and place.
    EXPECT_EQ(count("SELECT count(*) FROM (SELECT 1 FROM gps_fixes WHERE gps_info <> '' "
                    "GROUP BY device_name, gps_info HAVING count(*) > 1) twice"),
              "0");
    // Every terminal's fixes kept coming through the center left.
    const std::string killedAtSql =
        "to_timestamp(" +
        std::to_string(
            std::chrono::duration_cast<std::chrono::milliseconds>(killedAt.time_since_epoch())
                .count()) +
        " / 1000.0)";
    EXPECT_EQ(count("SELECT count(DISTINCT device_name) FROM gps_fixes WHERE received_at > " +
                    killedAtSql),
              allText);
    // Each devices row holds the device's newest fix.
    EXPECT_EQ(count("SELECT count(*) FROM devices d WHERE d.last_fix_at = (SELECT "
                    "max(received_at) FROM gps_fixes f WHERE f.device_name = d.device_name AND "
                    "f.gps_info <> '') AND EXISTS (SELECT 1 FROM gps_fixes f WHERE "
                    "f.device_name = d.device_name AND f.received_at = d.last_fix_at AND "
                    "f.latitude = d.latitude AND f.longitude = d.longitude)"),
              allText);
    // Each terminal registered once: the second center took the codes the
    // first had given.
    EXPECT_EQ(fleet.counters().registrations.load(), static_cast<std::uint64_t>(terminals));

    const std::string offlines =
        count("SELECT count(*) FROM device_events WHERE event_type_id = 7");
    std::printf(
        "scale-out: %d terminals, %d on the killed center, all back online through the other in "
        "%lld ms; fixes sent %llu, stored %llu, lost %llu, doubled %llu (missing until the "
        "killed center started again: %llu); reports sent again %llu; %s offline events\n",
        terminals, onA, static_cast<long long>(failover.count()),
        static_cast<unsigned long long>(tally.sent), static_cast<unsigned long long>(tally.stored),
        static_cast<unsigned long long>(tally.lost), static_cast<unsigned long long>(tally.doubled),
        static_cast<unsigned long long>(lostWhileDown),
        static_cast<unsigned long long>(fleet.counters().reportsResent.load()), offlines.c_str());
    RecordProperty("failover_ms", static_cast<int>(failover.count()));
    RecordProperty("fixes_sent", static_cast<int>(tally.sent));
    RecordProperty("fixes_lost", static_cast<int>(tally.lost));
    RecordProperty("fixes_doubled", static_cast<int>(tally.doubled));
    haproxy.stop(SIGTERM);
}

}  // namespace
}  // namespace e2e
