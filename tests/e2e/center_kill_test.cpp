// vardo-center killed (SIGKILL) at random moments while a fleet of simulated
// terminals reports numbered fixes, and started again on the same ports and
// data folder: every fix a terminal made ends in the event server's database
// exactly once. What the center had answered comes from its journal; what it
// had not, the terminals send again.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include "sim/terminal/codes_file.h"
#include "sim/terminal/fleet.h"
#include "tests/e2e/fix_tally.h"
#include "testsupport/io_thread/io_thread.h"
#include "testsupport/process/center_process.h"
#include "testsupport/process/event_server_run.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

int FromEnvironment(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

// Small in the suite; scripts/kill-run runs it large (VARDO_KILL_TERMINALS,
// VARDO_KILL_COUNT, VARDO_KILL_INTERVAL_MS between a terminal's reports, and
// VARDO_KILL_WHAT: center, event-server or both, or all three in turn).
// With VARDO_KILL_KEEP=DIR a run that stores a fix twice leaves the event
// server's folder and the center's data there.
TEST(CenterKill, FixesFlowingWhenTheCenterIsKilledAreStoredOnceEach) {
    char pattern[] = "/tmp/vardo-center-kill-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string data = pattern;
    const int kTerminals = FromEnvironment("VARDO_KILL_TERMINALS", 50);
    const int kKills = FromEnvironment("VARDO_KILL_COUNT", 3);
    const std::string what =
        std::getenv("VARDO_KILL_WHAT") ? std::getenv("VARDO_KILL_WHAT") : "center";
    {
        auto first =
            std::make_unique<CenterProcess>(data, std::vector<std::string>{"--open-registration"});
        ASSERT_TRUE(first->started()) << first->log();
        CenterProcess* center = first.get();
        std::unique_ptr<CenterProcess> current;
        EventServerRun server(first->tcpPort());
        server.start();
        ASSERT_TRUE(center->waitForLog("logged in as 'root'")) << center->log() << server.log();

        testsim::IoThread io;
        sim::terminal::CodesFile codes(data + "/codes");
        sim::terminal::FleetConfig config;
        config.port = first->jt808Port();
        config.terminals = kTerminals;
        config.numberedFixes = true;
        config.locationInterval =
            std::chrono::milliseconds(FromEnvironment("VARDO_KILL_INTERVAL_MS", 200));
        config.heartbeatInterval = 30s;
        config.reconnectDelay = 300ms;
        config.answerTimeout = 2s;
        config.driverCard = false;
        sim::terminal::Fleet fleet(io.context(), config, codes, [](const std::string&) {});
        io.start();
        io.call([&] { fleet.start(); });
        const auto until = std::chrono::steady_clock::now() + 20s + kTerminals * 20ms;
        while (fleet.counters().authentications < static_cast<std::uint64_t>(kTerminals) &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_GE(fleet.counters().authentications.load(), static_cast<std::uint64_t>(kTerminals))
            << center->log();

        std::mt19937 random(std::random_device{}());
        for (int kill = 0; kill < kKills; ++kill) {
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::uniform_int_distribution<>(1200, 2500)(random)));
            const std::string victim =
                what != "all"
                    ? what
                    : std::vector<std::string>{"center", "event-server", "both"}[kill % 3];
            const bool killCenter = victim == "center" || victim == "both";
            const bool killServer = victim == "event-server" || victim == "both";
            if (killCenter) {
                ::kill(center->pid(), SIGKILL);
            }
            if (killServer) {
                server.kill();
            }
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::uniform_int_distribution<>(200, 1000)(random)));
            if (killCenter) {
                current = restartCenter(data, *first, {"--open-registration"});
                ASSERT_TRUE(current) << "the center did not start again";
                center = current.get();
            }
            if (killServer) {
                server.start();
            }
        }
        std::this_thread::sleep_for(1500ms);
        io.call([&] { fleet.stopReporting(); });

        // Every report answered, and everything answered stored.
        std::vector<std::uint64_t> made;
        Tally tally;
        const auto deadline = std::chrono::steady_clock::now() + 25s + kTerminals * 60ms;
        do {
            std::this_thread::sleep_for(300ms);
            made = io.call([&] { return fleet.reportsMade(); });
            tally = Count(server.fixes(), made);
        } while ((tally.lost > 0 || io.call([&] { return fleet.unansweredReports(); }) > 0) &&
                 std::chrono::steady_clock::now() < deadline);
        // Doubles arriving last are given a moment to show.
        std::this_thread::sleep_for(1s);
        tally = Count(server.fixes(), made);
        std::printf(
            "terminals %d, kills %d (%s): sent %llu, stored %llu, lost %llu, doubled %llu; "
            "reports sent again %llu\n",
            kTerminals, kKills, what.c_str(), static_cast<unsigned long long>(tally.sent),
            static_cast<unsigned long long>(tally.stored),
            static_cast<unsigned long long>(tally.lost),
            static_cast<unsigned long long>(tally.doubled),
            static_cast<unsigned long long>(fleet.counters().reportsResent.load()));
        EXPECT_GT(tally.sent, static_cast<std::uint64_t>(kTerminals) * 20);
        EXPECT_EQ(tally.lost, 0u) << tally.firstLost << center->log() << server.log();
        EXPECT_EQ(tally.doubled, 0u) << tally.firstDoubled << center->log() << server.log();
        if (tally.doubled > 0 && std::getenv("VARDO_KILL_KEEP")) {
            std::filesystem::copy(server.home(), std::getenv("VARDO_KILL_KEEP"),
                                  std::filesystem::copy_options::recursive);
            std::filesystem::copy(data, std::string(std::getenv("VARDO_KILL_KEEP")) + "/center",
                                  std::filesystem::copy_options::recursive);
        }
        EXPECT_EQ(fleet.counters().reportsGivenUp.load(), 0u);
        io.call([&] { fleet.stop(); });
        io.stop();
        EXPECT_EQ(server.stop(), 0) << server.log();
        EXPECT_EQ(center->stop(), 0) << center->log();
    }
    std::filesystem::remove_all(data);
}

}  // namespace
}  // namespace e2e
