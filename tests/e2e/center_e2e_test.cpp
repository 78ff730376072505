// Terminals, vardo-center and the event server as real processes: what the
// terminals report ends as rows in the event server's SQLite file.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "jt808/message_ids.h"
#include "tests/center/test_terminal.h"
#include "testsupport/process/center_process.h"
#include "testsupport/process/child_process.h"
#include "testsupport/process/event_server_run.h"

namespace e2e {
namespace {

using centertest::makeLocation;
using centertest::TestTerminal;
using namespace std::chrono_literals;

class CenterEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vardo-center-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        data_ = pattern;
        std::ofstream(data_ + "/allowed-terminals") << "13912344329\n13800000002\n"
                                                    << "12345678901234567890\n";
    }
    void TearDown() override { std::filesystem::remove_all(data_); }

    std::string data_;
};

TEST_F(CenterEndToEnd, TerminalReportsBecomeRowsWithTheirHemispheresAndUtcTimes) {
    CenterProcess center(data_);
    ASSERT_TRUE(center.started()) << center.log();
    EventServerRun server(center.tcpPort());
    server.start();
    ASSERT_TRUE(center.waitForLog("logged in as 'root'")) << center.log() << server.log();

    auto a = std::make_unique<TestTerminal>(center.jt808Port(), "013912344329");
    ASSERT_EQ(a->authenticate(a->registerAs("粤B12345")), 0) << center.log();
    TestTerminal b(center.jt808Port(), "12345678901234567890", jt808::Version::V2019);
    ASSERT_EQ(b.authenticate(b.registerAs("B-2019")), 0) << center.log();

    // 07:30 Beijing time on 1 January is 23:30 UTC on 31 December.
    EXPECT_EQ(a->report(makeLocation(22.543210, 114.057890, 55.56, 90, "270101073000")), 0);
    jt808::BatchLocation batch;
    batch.type = 1;
    batch.items = {makeLocation(-33.868820, -70.651080, 0, 180, "270101073010")};
    EXPECT_EQ(a->resultOf(a->send(jt808::msg::kBatchLocation, jt808::encodeBatchLocation(batch))),
              0);
    EXPECT_EQ(b.report(makeLocation(51.507350, -0.127750, 18.52, 270, "261208120000")), 0);
    ASSERT_TRUE(server.waitForRows(2, 5)) << server.log() << center.log();
    a.reset();  // its connection ends: the offline row
    ASSERT_TRUE(server.waitForRows(3, 5)) << server.log() << center.log();
    EXPECT_EQ(server.stop(), 0) << server.log();
    EXPECT_EQ(center.stop(), 0) << center.log();

    // The event server's clean stop marks the terminal still online offline.
    EXPECT_EQ(server.events(), (std::vector<EventRow>{{"013912344329", 6},
                                                      {"12345678901234567890", 6},
                                                      {"013912344329", 7},
                                                      {"12345678901234567890", 7}}));
    const auto fixes = server.fixes();
    ASSERT_EQ(fixes.size(), 5u);
    const auto gpsOf = [&](std::size_t i) { return fixes[i].gps; };
    // The online rows carry no position yet.
    EXPECT_EQ(fixes[0], (FixRow{"013912344329", 0, 0, 0, 0, ""}));
    EXPECT_EQ(fixes[1], (FixRow{"12345678901234567890", 0, 0, 0, 0, ""}));
    EXPECT_EQ(fixes[2].device, "013912344329");
    EXPECT_NEAR(fixes[2].latitude, 22.543210, 1e-6);
    EXPECT_NEAR(fixes[2].longitude, 114.057890, 1e-6);
    EXPECT_EQ(fixes[2].speed, 55);
    EXPECT_EQ(fixes[2].course, 90);
    EXPECT_TRUE(gpsOf(2).starts_with("$GPRMC,233000.000,A,2232.5926,N,11403.4734,E,")) << gpsOf(2);
    EXPECT_NE(gpsOf(2).find(",311226,"), std::string::npos) << gpsOf(2);
    EXPECT_NEAR(fixes[3].latitude, -33.868820, 1e-6);
    EXPECT_NEAR(fixes[3].longitude, -70.651080, 1e-6);
    EXPECT_TRUE(gpsOf(3).starts_with("$GPRMC,233010.000,A,3352.1292,S,07039.0648,W,")) << gpsOf(3);
    EXPECT_EQ(fixes[4].device, "12345678901234567890");
    EXPECT_NEAR(fixes[4].latitude, 51.507350, 1e-6);
    EXPECT_NEAR(fixes[4].longitude, -0.127750, 1e-6);
    EXPECT_TRUE(gpsOf(4).starts_with("$GPRMC,040000.000,A,5130.4410,N,00007.6650,W,")) << gpsOf(4);
    EXPECT_NE(center.log().find("terminal 013912344329 (127.0.0.1:"), std::string::npos);
}

TEST_F(CenterEndToEnd, AForgedAuthenticationIsRefusedAndLeavesNoRow) {
    CenterProcess center(data_);
    ASSERT_TRUE(center.started()) << center.log();
    EventServerRun server(center.tcpPort());
    server.start();
    ASSERT_TRUE(center.waitForLog("logged in as 'root'")) << center.log() << server.log();
    {
        TestTerminal real(center.jt808Port(), "013912344329");
        ASSERT_FALSE(real.registerAs("A1").empty());
    }
    TestTerminal forger(center.jt808Port(), "013912344329");
    EXPECT_EQ(forger.authenticate("00000000000000000000000000000000"), 1);
    EXPECT_EQ(forger.report(makeLocation(22.5, 114.0, 0, 0, "261208100000")), 1);
    EXPECT_EQ(forger.authenticate("ffffffffffffffffffffffffffffffff"), 1);
    EXPECT_TRUE(forger.waitClosed());
    // A heartbeat of a terminal that does log in proves the event server
    // was listening all along.
    TestTerminal other(center.jt808Port(), "013800000002");
    ASSERT_EQ(other.authenticate(other.registerAs("B2")), 0);
    ASSERT_TRUE(server.waitForRows(1, 1)) << server.log();
    EXPECT_EQ(server.stop(), 0) << server.log();
    EXPECT_EQ(server.events(), (std::vector<EventRow>{{"013800000002", 6}, {"013800000002", 7}}));
    EXPECT_EQ(server.fixes().size(), 1u);
    const std::string log = center.log();
    EXPECT_NE(log.find("wrong authentication code"), std::string::npos) << log;
    EXPECT_EQ(log.find("00000000000000000000000000000000"), std::string::npos) << log;
}

TEST_F(CenterEndToEnd, ASilentTerminalIsDroppedWithItsOfflineRow) {
    CenterProcess center(data_, {"--heartbeat-timeout", "1"});
    ASSERT_TRUE(center.started()) << center.log();
    EventServerRun server(center.tcpPort());
    server.start();
    ASSERT_TRUE(center.waitForLog("logged in as 'root'")) << center.log() << server.log();
    TestTerminal t(center.jt808Port(), "013912344329");
    ASSERT_EQ(t.authenticate(t.registerAs("A1")), 0);
    EXPECT_TRUE(t.waitClosed());
    ASSERT_TRUE(server.waitForRows(2, 1)) << server.log() << center.log();
    EXPECT_EQ(server.stop(), 0) << server.log();
    EXPECT_EQ(server.events(), (std::vector<EventRow>{{"013912344329", 6}, {"013912344329", 7}}));
    EXPECT_NE(center.log().find("heartbeat time-out"), std::string::npos) << center.log();
}

TEST_F(CenterEndToEnd, ARestartedCenterKnowsItsTerminals) {
    std::string code;
    {
        CenterProcess center(data_);
        ASSERT_TRUE(center.started()) << center.log();
        TestTerminal t(center.jt808Port(), "013912344329");
        code = t.registerAs("粤B12345");
        ASSERT_FALSE(code.empty());
        EXPECT_EQ(center.stop(), 0) << center.log();
    }
    CenterProcess center(data_);
    ASSERT_TRUE(center.started()) << center.log();
    EXPECT_TRUE(center.waitForLog("holds 1 terminals")) << center.log();
    EventServerRun server(center.tcpPort());
    server.start();
    ASSERT_TRUE(center.waitForLog("logged in as 'root'")) << center.log() << server.log();
    TestTerminal t(center.jt808Port(), "013912344329");
    EXPECT_EQ(t.authenticate(code), 0) << center.log();
    ASSERT_TRUE(server.waitForRows(1, 1)) << server.log();
    EXPECT_EQ(server.stop(), 0) << server.log();
    EXPECT_EQ(server.events(), (std::vector<EventRow>{{"013912344329", 6}, {"013912344329", 7}}));
}

// A stranger who knows the phone number cannot take the vehicle over; an
// operator's release, from the command line while the center runs, lets the
// terminal that lost its code register again.
TEST_F(CenterEndToEnd, ATakeoverIsRefusedAndTheOperatorsReleaseWorksOnARunningCenter) {
    CenterProcess center(data_, {"--open-registration"});
    ASSERT_TRUE(center.started()) << center.log();
    EventServerRun server(center.tcpPort());
    server.start();
    ASSERT_TRUE(center.waitForLog("logged in as 'root'")) << center.log() << server.log();
    TestTerminal real(center.jt808Port(), "013912344329");
    const std::string code = real.registerAs("粤B12345");
    ASSERT_EQ(real.authenticate(code), 0) << center.log();
    ASSERT_TRUE(server.waitForRows(1, 1)) << server.log();

    for (int i = 0; i < 10; ++i) {
        TestTerminal stranger(center.jt808Port(), "013912344329", jt808::Version::V2013,
                              "127.0.0.2");
        int result = -1;
        EXPECT_EQ(stranger.registerAs("FAKE", &result), "");
        EXPECT_NE(result, 0);
        EXPECT_EQ(stranger.report(makeLocation(1, 1, 0, 0, "261208100000")), 1);
    }
    EXPECT_EQ(real.report(makeLocation(22.5, 114.0, 0, 0, "261208100000")), 0);
    EXPECT_FALSE(real.waitClosed(10ms)) << "the real terminal stays online";

    testsim::ChildProcess release(
        {centerPath(), "--data", data_, "--release", "13912344329", "--release-window", "600"});
    EXPECT_EQ(release.wait(), 0) << release.errors();
    EXPECT_NE(release.errors().find("released terminal 013912344329"), std::string::npos)
        << release.errors();
    TestTerminal reset(center.jt808Port(), "013912344329");
    const std::string fresh = reset.registerAs("粤B12345");
    ASSERT_FALSE(fresh.empty()) << center.log();
    EXPECT_EQ(reset.authenticate(fresh), 0) << center.log();
    EXPECT_TRUE(real.waitClosed()) << "the new connection took the phone over";

    testsim::ChildProcess unknown({centerPath(), "--data", data_, "--release", "15500000000"});
    EXPECT_EQ(unknown.wait(), 1);
    EXPECT_NE(unknown.errors().find("no terminal"), std::string::npos) << unknown.errors();
    EXPECT_EQ(server.stop(), 0) << server.log();
    // The stranger's loop left no trace: the device came online once and
    // stayed (the login after the release took over without an offline).
    const auto events = server.events();
    EXPECT_EQ(std::count(events.begin(), events.end(), EventRow{"013912344329", 6}), 1)
        << center.log();
}

TEST_F(CenterEndToEnd, BadOptionsAreExplainedWithStatusTwo) {
    testsim::ChildProcess bad({centerPath(), "--jt808-port", "70000"});
    EXPECT_EQ(bad.wait(), 2);
    EXPECT_NE(bad.errors().find("--jt808-port: '70000' is not a port number"), std::string::npos)
        << bad.errors();
    testsim::ChildProcess half({centerPath(), "--user", "ops"});
    EXPECT_EQ(half.wait(), 2);
    EXPECT_NE(half.errors().find("--user and --password go together"), std::string::npos)
        << half.errors();
}

}  // namespace
}  // namespace e2e
