// Two vardo-center processes sharing their registry in PostgreSQL, each with
// its own event server writing the same database: a terminal moves from one
// center to the other with the code the first gave it, and the first closes
// its connection, so the database sees one offline and one online.

#include <gtest/gtest.h>
#include <signal.h>

#include "tests/center/test_terminal.h"
#include "tests/e2e/scale_out_support.h"
#include "testsupport/pg/pg_test_server.h"
#include "testsupport/process/center_process.h"
#include "testsupport/process/event_server_run.h"

namespace e2e {
namespace {

using centertest::makeLocation;
using centertest::TestTerminal;
using namespace std::chrono_literals;

TEST(SharedRegistry, ATerminalThatLogsInOnTheOtherCenterIsClosedOnTheFirst) {
    std::string error;
    const auto database = pgtest::TestDatabase::Create(error);
    if (!database) {
        GTEST_SKIP() << "no PostgreSQL for the test: " << error;
    }
    const std::string registry = database->ConnInfo();
    TempFolder dataA;
    TempFolder dataB;
    CenterProcess a(dataA.path(), {"--registry", registry});
    CenterProcess b(dataB.path(), {"--registry", registry});
    ASSERT_TRUE(a.started() && b.started()) << a.log() << b.log();
    // The allow-list is the registry's too: one row admits the phone on both.
    ASSERT_TRUE(database->Exec("INSERT INTO center_allowed_terminals VALUES ('13912344329')"));
    EventServerRun serverA(a.tcpPort(), RunSettings{.connectString = registry});
    EventServerRun serverB(b.tcpPort(), RunSettings{.connectString = registry});
    serverA.start();
    serverB.start();
    ASSERT_TRUE(a.waitForLog("logged in as 'root'")) << a.log() << serverA.log();
    ASSERT_TRUE(b.waitForLog("logged in as 'root'")) << b.log() << serverB.log();

    TestTerminal stranger(b.jt808Port(), "013912344320");
    EXPECT_TRUE(stranger.registerAs("粤B00000").empty());

    TestTerminal first(a.jt808Port(), "013912344329");
    const std::string code = first.registerAs("粤B12345");
    ASSERT_FALSE(code.empty()) << a.log();
    ASSERT_EQ(first.authenticate(code), 0) << a.log();
    ASSERT_EQ(first.report(makeLocation(22.5, 114.0, 30, 90, "270101080000")), 0);
    EXPECT_EQ(WaitForValue(*database,
                           "SELECT online FROM devices WHERE device_name = '013912344329'", "1"),
              "1")
        << serverA.log();

    // The terminal's link to a broke without a word (as behind a carrier's
    // NAT); it comes back through b with the code a gave it.
    TestTerminal second(b.jt808Port(), "013912344329");
    ASSERT_EQ(second.authenticate(code), 0) << b.log();
    EXPECT_TRUE(first.waitClosed(20s)) << a.log();
    EXPECT_TRUE(a.waitForLog("logged in on center")) << a.log();
    ASSERT_EQ(second.report(makeLocation(23.5, 114.5, 40, 180, "270101080100")), 0);

    EXPECT_EQ(WaitForValue(*database,
                           "SELECT string_agg(event_type_id::text, ',' ORDER BY received_at, id) "
                           "FROM device_events WHERE device_name = '013912344329'",
                           "6,7,6"),
              "6,7,6")
        << a.log() << b.log() << serverA.log() << serverB.log();
    // However the two event servers' writes interleaved, the device is online
    // where it is now, at its newest position.
    EXPECT_EQ(WaitForValue(*database,
                           "SELECT online || ' ' || round(latitude::numeric, 3) FROM devices "
                           "WHERE device_name = '013912344329'",
                           "1 23.500"),
              "1 23.500");
    // Still one live session: b keeps serving it.
    EXPECT_EQ(second.report(makeLocation(23.6, 114.5, 40, 180, "270101080200")), 0);
    EXPECT_EQ(database->Query("SELECT count(*) FROM device_events WHERE event_type_id = 7")[0][0],
              "1");

    // The operator's release works on the shared registry, for every center.
    testsim::ChildProcess release(
        {centerPath(), "--data", dataA.path(), "--registry", registry, "--release", "13912344329"});
    EXPECT_EQ(release.wait(20s), 0) << release.errors();
    TestTerminal third(a.jt808Port(), "013912344329");
    EXPECT_NE(third.authenticate(code), 0);
    EXPECT_FALSE(third.registerAs("粤B12345").empty()) << a.log();
}

}  // namespace
}  // namespace e2e
