// The event server killed (SIGKILL) while numbered fixes flow from a terminal
// through vardo-center, and started again at once: the center sends again
// what the event server had not acknowledged, the login list names each
// device's latest fix, and every fix ends in the database once.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/center/test_terminal.h"
#include "tests/e2e/fix_tally.h"
#include "testsupport/process/center_process.h"
#include "testsupport/process/event_server_run.h"

namespace e2e {
namespace {

using centertest::makeLocation;
using centertest::TestTerminal;
using namespace std::chrono_literals;

TEST(EventServerKill, FixesFlowingWhenTheEventServerIsKilledAreStoredOnceEach) {
    char pattern[] = "/tmp/vardo-es-kill-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string data = pattern;
    std::ofstream(data + "/allowed-terminals") << "13912344329\n";
    {
        CenterProcess center(data);
        ASSERT_TRUE(center.started()) << center.log();
        EventServerRun server(center.tcpPort());
        server.start();
        ASSERT_TRUE(center.waitForLog("logged in as 'root'")) << center.log() << server.log();

        TestTerminal terminal(center.jt808Port(), "013912344329");
        ASSERT_EQ(terminal.authenticate(terminal.registerAs("粤B12345")), 0) << center.log();
        constexpr int kFixes = 900;
        constexpr int kKills = 3;
        for (int i = 0; i < kFixes; ++i) {
            // Numbered by latitude: 10.000 + i / 1000.
            ASSERT_EQ(terminal.report(makeLocation(10.0 + i / 1000.0, 100.0, 1, 0, "270101073000")),
                      0);
            // About 30 fixes a second; a kill at an uneven place of each
            // quarter, so that fixes are in the socket, the window and the
            // journal's buffer when it comes.
            std::this_thread::sleep_for(30ms);
            if (i % (kFixes / (kKills + 1)) == kFixes / (kKills + 1) / 3 && i > kFixes / 4) {
                server.kill();
                server.start();
            }
        }
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        Tally tally;
        do {
            std::this_thread::sleep_for(300ms);
            tally = CountSeries(server.fixes(), kFixes);
        } while (tally.lost > 0 && std::chrono::steady_clock::now() < deadline);
        // Doubles arriving last (a resend after the final restart) are
        // given a moment to show.
        std::this_thread::sleep_for(2s);
        tally = CountSeries(server.fixes(), kFixes);
        std::printf("sent %d, stored %llu, lost %llu, doubled %llu, kills %d\n", kFixes,
                    static_cast<unsigned long long>(tally.stored),
                    static_cast<unsigned long long>(tally.lost),
                    static_cast<unsigned long long>(tally.doubled), kKills);
        EXPECT_EQ(tally.lost, 0u) << server.log();
        EXPECT_EQ(tally.doubled, 0u) << server.log();
        EXPECT_EQ(server.stop(), 0) << server.log();
        EXPECT_EQ(center.stop(), 0) << center.log();
    }
    std::filesystem::remove_all(data);
}

}  // namespace
}  // namespace e2e
