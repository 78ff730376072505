// Statements reach a real SQLite database, and the window thread never
// waits for it.

#include <sqlite3.h>

#include <algorithm>
#include <thread>

#include "tests/app/server_fixture.h"

namespace apptest {
namespace {

using DatabaseTest = ServerTest;

const std::string kExampleGps =
    "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D";

TEST_F(DatabaseTest, OnlineGpsAndOfflineEventsArriveWithTheTimeTheyHappened) {
    WriteConfig();
    Open();
    PressStart();
    const auto dev = Online({.name = "X7", .gps = kExampleGps});
    RunFor(std::chrono::seconds(5));
    Notify(NOTIFY_DEVICE_OFFLINE, dev);
    ASSERT_TRUE(WaitForDatabase());

    EXPECT_EQ(
        Query("SELECT device_name, event_type_id, received_at FROM device_events ORDER BY id"),
        (std::vector<std::string>{"X7|6|2026-12-08 16:49:52.000", "X7|7|2026-12-08 16:49:57.000"}));
    EXPECT_EQ(Query("SELECT device_name, printf('%.6f', latitude), printf('%.6f', longitude), "
                    "speed, course, gps_info FROM gps_fixes"),
              std::vector<std::string>{"X7|25.052057|121.676130|18|90|" + kExampleGps});
    EXPECT_EQ(Query("SELECT online FROM devices WHERE device_name = 'X7'"),
              std::vector<std::string>{"0"});
}

// The center numbers its events: an event received again (sent again after a
// restart of this server, or named by the login list) is stored once, and the
// library hears how far the journal has synced what was handled.
TEST_F(DatabaseTest, NumberedEventsAreStoredOnceAndReportedDurableOnceSynced) {
    WriteConfig();
    Open();
    PressStart();
    const HVARDOAPP app = scripted::LastInstance();
    ASSERT_TRUE(scripted::Acks(app).has_value());
    EXPECT_TRUE(scripted::Acks(app)->whenDurable);
    const auto notify = [&](WPARAM kind, HVARDODEV dev, VARDO_EVENT_NUMBER number) {
        EXPECT_TRUE(scripted::Notify(app, kind, dev, number));
        host->RunUntilIdle();
    };
    const HVARDODEV dev = scripted::AddDevice({.name = "X7", .gps = kExampleGps});
    notify(NOTIFY_DEVICE_ONLINE, dev, {77, 10, 0});
    const std::string moved =
        "$GPRMC,100001.000,A,2503.2234,N,12140.5678,E,10.0,90.0,010100,,,A*6F";
    scripted::SetInfo(dev, DEVINFO_GPS, moved);
    notify(NOTIFY_DEVICE_GPS, dev, {77, 11, 0});
    // The same event again, then a login list naming it.
    notify(NOTIFY_DEVICE_GPS, dev, {77, 11, 0});
    notify(NOTIFY_DEVICE_GPS, dev, {77, 11, EVENT_NUMBER_LISTED});
    // Another numbering (the center started over) is news.
    notify(NOTIFY_DEVICE_GPS, dev, {78, 11, 0});
    // A version-1 center numbers nothing: every notification is stored.
    notify(NOTIFY_DEVICE_GPS, dev, {});
    notify(NOTIFY_DEVICE_GPS, dev, {});
    ASSERT_TRUE(WaitForDatabase());
    EXPECT_EQ(Query("SELECT count(*) FROM gps_fixes WHERE gps_info = '" + moved + "'"),
              std::vector<std::string>{"4"});
    EXPECT_EQ(Query("SELECT count(*) FROM gps_fixes"), std::vector<std::string>{"5"});
    EXPECT_EQ(Query("SELECT count(*) FROM device_events"), std::vector<std::string>{"1"});

    // Reported once the journal has synced it: the last numbered event
    // handled, of its numbering, never one only listed.
    bool reported = false;
    for (int i = 0; i < 200 && !reported; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        RunFor(std::chrono::seconds(1));
        const auto acks = scripted::Acks(app);
        reported = acks && acks->epoch == 78 && acks->seq == 11;
    }
    EXPECT_TRUE(reported) << scripted::Acks(app)->epoch << " " << scripted::Acks(app)->seq;
}

TEST_F(DatabaseTest, TheWindowThreadNeverWaitsForABusyDatabase) {
    WriteConfig();
    Open();
    dlg->SetWorkerOptions({.openTimeoutSeconds = 1,
                           .firstBackoff = std::chrono::milliseconds(10),
                           .maxBackoff = std::chrono::milliseconds(50)});
    PressStart();
    ASSERT_TRUE(dlg->IsServiceStarted());

    // Another program holds the database locked.
    sqlite3* blocker = nullptr;
    ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &blocker), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(blocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    constexpr int kDevices = 50;
    constexpr int kUpdates = 20;
    std::vector<HVARDODEV> devices;
    for (int i = 0; i < kDevices; ++i) {
        devices.push_back(Online({.name = "D" + std::to_string(i), .gps = kExampleGps}));
    }
    for (int round = 0; round < kUpdates; ++round) {
        for (auto dev : devices) {
            scripted::Notify(NOTIFY_DEVICE_GPS, dev);
        }
        host->RunUntilIdle();
    }
    // Every notification was handled while the database stayed locked.
    EXPECT_EQ(List().GetItemCount(), kDevices);
    EXPECT_EQ(dlg->statements.size(), static_cast<std::size_t>(kDevices * (2 + kUpdates)));
    EXPECT_GT(dlg->PendingStatements(), 0u);

    sqlite3_exec(blocker, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(blocker);
    ASSERT_TRUE(WaitForDatabase());
    EXPECT_EQ(Query("SELECT count(*) FROM gps_fixes"),
              std::vector<std::string>{std::to_string(kDevices * (1 + kUpdates))});
    EXPECT_EQ(Query("SELECT count(*) FROM device_events"),
              std::vector<std::string>{std::to_string(kDevices)});
}

// Ten devices come online while the database is locked and the service
// stops; then the database is freed and the service starts again.
class StopWhileLockedTest : public ServerTest {
protected:
    void Run(bool journal) {
        WriteConfig({{"EventServer_Journal", journal ? "" : "0"}});
        Open();
        dlg->SetWorkerOptions({.openTimeoutSeconds = 1,
                               .firstBackoff = std::chrono::milliseconds(10),
                               .maxBackoff = std::chrono::milliseconds(50)});
        PressStart();
        sqlite3* blocker = nullptr;
        ASSERT_EQ(sqlite3_open(DatabasePath().c_str(), &blocker), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(blocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        for (int i = 0; i < 10; ++i) {
            Online({.name = "D" + std::to_string(i)});
        }
        ClearLog();
        PressStart();  // stop while the database is locked
        EXPECT_EQ(dlg->PendingStatements(), 0u);
        auto log = ServiceLog();
        ASSERT_EQ(log.size(), 1u);
        // The ten devices' offline events of the stop are queued as well.
        EXPECT_NE(log[0].find("queued=30 executed=0"), std::string::npos) << log[0];
        EXPECT_NE(log[0].find(journal ? "discarded=0 waiting=30" : "discarded=30"),
                  std::string::npos)
            << log[0];
        EXPECT_EQ(log[0].find("waiting="), journal ? log[0].rfind("waiting=") : std::string::npos);

        sqlite3_exec(blocker, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(blocker);
        PressStart();
        Online({.name = "after"});
        ASSERT_TRUE(WaitForDatabase());
        // With the journal the online events, then the offline events of the
        // stop, go first, in order, once.
        std::vector<std::string> expected;
        if (journal) {
            for (int round = 0; round < 2; ++round) {
                for (int i = 0; i < 10; ++i) {
                    expected.push_back("D" + std::to_string(i));
                }
            }
        }
        expected.push_back("after");
        EXPECT_EQ(Query("SELECT device_name FROM device_events ORDER BY id"), expected);
        EXPECT_EQ(Query("SELECT count(*) FROM gps_fixes"),
                  std::vector<std::string>{journal ? "11" : "1"});
        PressStart();
    }
};

TEST_F(StopWhileLockedTest, StatementsWaitingAtStopStayInTheJournalAndGoFirstAtTheNextStart) {
    Run(true);
}

TEST_F(StopWhileLockedTest, WithoutTheJournalStatementsWaitingAtStopAreDiscarded) {
    Run(false);
}

// The center link lost: past EventServer_CenterLostGraceSeconds every device
// is marked offline in the database, once, and each goes online again as it
// reports once the link is back.
TEST_F(DatabaseTest, DevicesGoOfflineAfterTheCenterIsLostForTheGracePeriodAndBackAsTheyReport) {
    WriteConfig({{"EventServer_CenterLostGraceSeconds", "5"}});
    Open();
    PressStart();
    const auto x7 = Online({.name = "X7", .gps = kExampleGps});
    Online({.name = "Y8", .gps = kExampleGps});
    ASSERT_TRUE(WaitForDatabase());
    const HVARDOAPP app = scripted::LastInstance();
    scripted::SetActive(app, false);
    RunFor(std::chrono::seconds(3));
    ASSERT_TRUE(WaitForDatabase());
    EXPECT_EQ(Query("SELECT device_name, online FROM devices ORDER BY device_name"),
              (std::vector<std::string>{"X7|1", "Y8|1"}))
        << "within the grace period";
    RunFor(std::chrono::seconds(4));
    RunFor(std::chrono::seconds(4));
    ASSERT_TRUE(WaitForDatabase());
    EXPECT_EQ(Query("SELECT device_name, online FROM devices ORDER BY device_name"),
              (std::vector<std::string>{"X7|0", "Y8|0"}));
    EXPECT_EQ(Query("SELECT count(*) FROM device_events WHERE event_type_id = 7"),
              std::vector<std::string>{"2"});
    {
        std::lock_guard lock(logMutex);
        EXPECT_EQ(std::count_if(logLines.begin(), logLines.end(),
                                [](const std::string& l) {
                                    return l.find("2 devices marked offline") != std::string::npos;
                                }),
                  1);
    }

    scripted::SetActive(app, true);
    RunFor(std::chrono::seconds(2));
    Notify(NOTIFY_DEVICE_GPS, x7);
    ASSERT_TRUE(WaitForDatabase());
    EXPECT_EQ(Query("SELECT device_name, online FROM devices ORDER BY device_name"),
              (std::vector<std::string>{"X7|1", "Y8|0"}));
}

// The center dates its messages on its own clock, here an hour ahead of this
// server's. The offline this server concludes when the link stays lost is
// dated on the center's clock too: dated by this server's clock, it would be
// older than the device's last event and leave the device shown online.
TEST_F(DatabaseTest, AnOfflineConcludedHereFollowsTheCentersClockWhateverThisOnesSays) {
    WriteConfig({{"EventServer_CenterLostGraceSeconds", "5"}});
    Open();
    PressStart();
    const auto centerTime = [](std::int64_t ms) {
        return std::string(reinterpret_cast<const char*>(&ms), sizeof ms);
    };
    const std::int64_t anHourAhead = 1'796'752'192'000;  // 2026-12-08 17:49:52 UTC
    const HVARDODEV x7 = scripted::AddDevice({.name = "X7", .gps = kExampleGps});
    scripted::SetInfo(x7, DEVINFO_RECEIVED_AT, centerTime(anHourAhead));
    Notify(NOTIFY_DEVICE_ONLINE, x7);
    ASSERT_TRUE(WaitForDatabase());
    const HVARDOAPP app = scripted::LastInstance();
    scripted::SetActive(app, false);
    RunFor(std::chrono::seconds(4));
    RunFor(std::chrono::seconds(4));
    ASSERT_TRUE(WaitForDatabase());
    EXPECT_EQ(Query("SELECT online FROM devices WHERE device_name = 'X7'"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(Query("SELECT received_at FROM device_events WHERE event_type_id = 7"),
              std::vector<std::string>{"2026-12-08 17:49:52.001"});

    // Back, on the center's clock a little later: online again.
    scripted::SetActive(app, true);
    RunFor(std::chrono::seconds(2));
    scripted::SetInfo(x7, DEVINFO_RECEIVED_AT, centerTime(anHourAhead + 20'000));
    Notify(NOTIFY_DEVICE_GPS, x7);
    ASSERT_TRUE(WaitForDatabase());
    EXPECT_EQ(Query("SELECT online FROM devices WHERE device_name = 'X7'"),
              std::vector<std::string>{"1"});
}

}  // namespace
}  // namespace apptest
