// The simulator and the event server as real processes over loopback, with
// the rows they leave in SQLite checked whole.

#include <gtest/gtest.h>

#include "testsupport/loopback/loopback.h"
#include "testsupport/process/event_server_run.h"
#include "testsupport/process/sim_process.h"

namespace e2e {
namespace {

using testsim::SimProcess;

const std::string kFix = "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D";
const std::string kBus = "O'Brien's \"Bus\" 7";
const std::string kVan = "车辆二号";

TEST(EndToEnd, OnlineGpsAndOfflineRowsAreStoredExactly) {
    SimProcess sim;
    sim.send(
        "wait-login\n"
        "online X7 \"O'Brien's \\\"Bus\\\" 7\" 2 浙A·12345 张伟\n"
        "gps X7 " +
        kFix +
        "\n"
        "online 车-2 " +
        kVan +
        " 1\n"
        "gps 车-2 not a sentence\n"
        "offline X7\n");
    EventServerRun server(sim.tcpPort());
    server.start();
    ASSERT_TRUE(server.waitForRows(3, 4)) << server.log();
    EXPECT_EQ(server.stop(), 0) << server.log();

    // The van was still online at the stop: its offline event is stored too.
    EXPECT_EQ(server.events(), (std::vector<EventRow>{{kBus, 6}, {kVan, 6}, {kBus, 7}, {kVan, 7}}));
    EXPECT_EQ(server.fixes(), (std::vector<FixRow>{
                                  {kBus, 0, 0, 0, 0, ""},
                                  {kBus, 25.052057, 121.676130, 18, 90, kFix},
                                  {kVan, 0, 0, 0, 0, ""},
                                  {kVan, 0, 0, 0, 0, ""},
                              }));
}

TEST(EndToEnd, AWrongPasswordIsLoggedAndTheServerExitsNonZero) {
    SimProcess sim;
    sim.send("online X7 X7 1\n");
    EventServerRun server(sim.tcpPort(), "guessed");
    server.start();
    EXPECT_TRUE(
        server.waitForLog("refused the login of user 'root': 'bad credentials'; not "
                          "trying again"))
        << server.log();
    // It ends by itself, so that systemd and the operator see the failure.
    EXPECT_TRUE(server.waitForLog("stopping: the center server refused the login")) << server.log();
    // 78: the settings are wrong, and systemd does not start it again.
    EXPECT_EQ(server.stop(), 78) << server.log();
    EXPECT_NE(server.log().find("service stopped:"), std::string::npos) << server.log();
    EXPECT_EQ(testsim::countOf(sim.log(), "refused: bad credentials"), 1) << sim.log();
    EXPECT_TRUE(server.events().empty());
    EXPECT_TRUE(server.fixes().empty());
}

TEST(EndToEnd, ADroppedCenterConnectionGivesNoSecondOnlineRow) {
    SimProcess sim;
    sim.send(
        "wait-login\n"
        "online X7 X7 1\n"
        "gps X7 first\n"
        "drop\n"
        "wait-login\n"
        "gps X7 " +
        kFix +
        "\n"
        "offline X7\n");
    EventServerRun server(sim.tcpPort());
    server.start();
    ASSERT_TRUE(server.waitForRows(2, 3)) << server.log();
    EXPECT_EQ(server.stop(), 0) << server.log();
    EXPECT_TRUE(sim.waitForLog("logged in as 'root'", 2)) << sim.log();

    EXPECT_EQ(server.events(), (std::vector<EventRow>{{"X7", 6}, {"X7", 7}}));
    EXPECT_EQ(server.fixes(), (std::vector<FixRow>{
                                  {"X7", 0, 0, 0, 0, ""},
                                  {"X7", 0, 0, 0, 0, ""},
                                  {"X7", 25.052057, 121.676130, 18, 90, kFix},
                              }));
}

TEST(EndToEnd, TheServerLogsInOnceTheSimulatorIsUp) {
    const std::uint16_t port = testsim::freePort();
    EventServerRun server(port);
    server.start();
    ASSERT_TRUE(
        server.waitForLog("cannot connect to the center server 127.0.0.1:" + std::to_string(port)))
        << server.log();
    SimProcess sim({"--tcp-port", std::to_string(port), "--udp-port", "0"});
    sim.send("wait-login\nonline late Late 1\ngps late " + kFix + "\n");
    ASSERT_TRUE(server.waitForRows(1, 2)) << server.log();
    EXPECT_EQ(server.stop(), 0) << server.log();
    EXPECT_EQ(server.events(), (std::vector<EventRow>{{"Late", 6}, {"Late", 7}}));
    EXPECT_EQ(server.fixes().size(), 2u);
}

}  // namespace
}  // namespace e2e
