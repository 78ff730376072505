// One suite over every backend: what the procedures store, exactly.
#include <thread>

#include "db/backend.h"
#include "tests/db/backend_fixture.h"

namespace {

using namespace std::chrono;
using dbtest::BackendTest;
using dbtest::Kind;
using dbtest::Rows;

const auto kT0 = sys_days{2026y / December / 8} + 16h + 49min + 52s + 123ms;

TEST_P(BackendTest, EventsSetTheOnlineFlagAndFixesTheLastPosition) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    EXPECT_TRUE(conn->ExecuteCommand(db::MakeOnlineEvent("X7", kT0)).applied());
    EXPECT_TRUE(conn->ExecuteCommand(db::MakeGpsFix("X7", {25.052057, 121.67613, 18.52, 90},
                                                    "$GPRMC,sentence", kT0 + 1s))
                    .applied());
    EXPECT_EQ(
        store->Query("SELECT online, last_event_type_id, " + store->TimeText("last_event_at") +
                     ", latitude, longitude, speed, course, gps_info, " +
                     store->TimeText("last_fix_at") + " FROM devices"),
        (Rows{{"1", "6", "2026-12-08 16:49:52.123", "25.052057", "121.67613", "18", "90",
               "$GPRMC,sentence", "2026-12-08 16:49:53.123"}}));

    EXPECT_TRUE(conn->ExecuteCommand(db::MakeOfflineEvent("X7", kT0 + 2s)).applied());
    EXPECT_TRUE(
        conn->ExecuteCommand(db::MakeGpsFix("X7", {-1.5, -2.25, 0, 0}, "$GPRMC,next", kT0 + 3s))
            .applied());
    EXPECT_EQ(store->Query("SELECT online, last_event_type_id, latitude, longitude, gps_info "
                           "FROM devices"),
              (Rows{{"0", "7", "-1.5", "-2.25", "$GPRMC,next"}}));
    EXPECT_EQ(
        store->Query("SELECT device_name, event_type_id, " + store->TimeText("received_at") +
                     " FROM device_events ORDER BY id"),
        (Rows{{"X7", "6", "2026-12-08 16:49:52.123"}, {"X7", "7", "2026-12-08 16:49:54.123"}}));
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"), "2");

    // Another event type is recorded but leaves the flag alone.
    EXPECT_TRUE(
        conn->ExecuteCommand(db::SqlCommand("EVENT_UPDATE", {{"DeviceName", std::string("X7")},
                                                             {"EventTypeID", std::int64_t{9}}}))
            .applied());
    EXPECT_EQ(store->Query("SELECT online, last_event_type_id FROM devices"), (Rows{{"0", "9"}}));
}

// Every backend stores the coordinates the statement's text shows, not the
// parser's every digit.
TEST_P(BackendTest, CoordinatesAreStoredWithTheSixDecimalsOfTheStatement) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    const auto fix = db::MakeGpsFix("X7", {25 + 3.1234 / 60.0, -(121 + 40.5678 / 60.0), 18, 90},
                                    "$GPRMC,real", kT0);
    ASSERT_NE(fix.text().find(",25.052057,-121.676130,"), std::string::npos) << fix.text();
    EXPECT_TRUE(conn->ExecuteCommand(fix).applied());
    EXPECT_EQ(store->Query("SELECT latitude, longitude FROM gps_fixes"),
              (Rows{{"25.052057", "-121.67613"}}));
    EXPECT_EQ(store->Query("SELECT latitude, longitude FROM devices"),
              (Rows{{"25.052057", "-121.67613"}}));
}

// A fix without a sentence (nothing readable came from the device) is stored
// without coordinates (0, 0 would be a place no vehicle reported), a device's
// last position stays its last real one, and a device never seen with a
// position has none rather than 0, 0.
TEST_P(BackendTest, AFixWithoutASentenceKeepsTheLastRealPosition) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    EXPECT_TRUE(conn->ExecuteCommand(
                        db::MakeGpsFix("X7", {25.052057, 121.67613, 18, 90}, "$GPRMC,real", kT0))
                    .applied());
    EXPECT_TRUE(conn->ExecuteCommand(db::MakeGpsFix("X7", {0, 0, 0, 0}, "", kT0 + 1s)).applied());
    EXPECT_TRUE(conn->ExecuteCommand(db::MakeGpsFix("Y1", {0, 0, 0, 0}, "", kT0 + 2s)).applied());
    EXPECT_EQ(store->Query("SELECT device_name, latitude, longitude, speed, course, gps_info, " +
                           store->TimeText("last_fix_at") + " FROM devices ORDER BY device_name"),
              (Rows{{"X7", "25.052057", "121.67613", "18", "90", "$GPRMC,real",
                     "2026-12-08 16:49:52.123"},
                    {"Y1", "<null>", "<null>", "<null>", "<null>", "<null>", "<null>"}}));
    EXPECT_EQ(store->Query("SELECT device_name, gps_info, latitude, longitude "
                           "FROM gps_fixes ORDER BY id"),
              (Rows{{"X7", "$GPRMC,real", "25.052057", "121.67613"},
                    {"X7", "", "<null>", "<null>"},
                    {"Y1", "", "<null>", "<null>"}}));
}

TEST_P(BackendTest, StoresAwkwardTextExactly) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    const std::string names[] = {
        "O'Brien",           "'); DROP TABLE devices; --", "a;b;c",    "-- not a comment",
        "/* nor this */",    "back\\slash and \"double\"", "%s %d %n", "台北-車輛07",
        "🚚🛰️ emoji", "tab\there\nnewline",         "",         std::string(3000, 'L'),
    };
    double i = 0;
    for (const auto& name : names) {
        const std::string info = "$GPRMC,'" + name + "'";
        EXPECT_TRUE(conn->ExecuteCommand(db::MakeOnlineEvent(name, kT0)).applied());
        EXPECT_TRUE(conn->ExecuteCommand(db::MakeGpsFix(name, {i, i, i, i}, info, kT0)).applied());
        ++i;
    }
    const Rows devices = store->Query("SELECT device_name, gps_info FROM devices");
    ASSERT_EQ(devices.size(), std::size(names));
    for (const auto& name : names) {
        const Rows expected{{name, "$GPRMC,'" + name + "'"}};
        bool found = false;
        for (const auto& row : devices) {
            found = found || row == expected[0];
        }
        EXPECT_TRUE(found) << "not stored exactly: " << name;
    }
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM device_events"),
              std::to_string(std::size(names)));
}

TEST_P(BackendTest, AStatementRetriedAfterAnUnknownOutcomeIsAppliedOnce) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    const auto fix = db::MakeGpsFix("X7", {1, 2, 3, 4}, "first", kT0);
    const auto event = db::MakeOnlineEvent("X7", kT0);
    EXPECT_EQ(conn->ExecuteCommand(fix).status, db::ExecStatus::Applied);
    EXPECT_EQ(conn->ExecuteCommand(event).status, db::ExecStatus::Applied);

    // The same statements again, as the worker sends them after a lost
    // connection: no new rows, and Execute reports that nothing changed.
    conn->Close();
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    EXPECT_EQ(conn->ExecuteCommand(fix).status, db::ExecStatus::NoRows);
    EXPECT_FALSE(conn->ExecuteCommand(event).applied());
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"), "1");
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM device_events"), "1");

    // A statement without an id (as a hand call would be) is simply applied.
    db::SqlCommand noId(fix.procedure(), fix.params(), kT0, db::StatementId());
    EXPECT_TRUE(conn->ExecuteCommand(noId).applied());
    EXPECT_TRUE(conn->ExecuteCommand(noId).applied());
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"), "3");
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes WHERE statement_id = '" +
                            fix.id().text() + "'"),
              "1");
}

TEST_P(BackendTest, OpenOnAnOpenConnectionChangesNothing) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    EXPECT_TRUE(conn->Open("", 1));
    EXPECT_TRUE(conn->Open("Provider=SQLOLEDB;Data Source=nowhere", -5));
    EXPECT_TRUE(conn->ExecuteCommand(db::MakeOnlineEvent("still-here")).applied());
    conn->Close();
    conn->Close();
    EXPECT_FALSE(conn->IsOpen());
    EXPECT_FALSE(conn->ExecuteCommand(db::MakeOnlineEvent("closed")).applied());
    ASSERT_TRUE(OpenConn()) << "reopens after Close: " << conn->LastError();
    EXPECT_TRUE(conn->ExecuteCommand(db::MakeOnlineEvent("reopened")).applied());
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM devices"), "2");
}

TEST_P(BackendTest, RefusedStatementsAreRejectedAndTheConnectionGoesOn) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    ASSERT_TRUE(store->InstallRejection("poison"));
    const struct {
        const char* what;
        db::SqlCommand command;
    } cases[] = {
        {"database refuses the fix", db::MakeGpsFix("poison", {1, 2, 3, 4}, "")},
        {"database refuses the event", db::MakeOnlineEvent("poison")},
        {"unknown procedure", db::SqlCommand("NO_SUCH_PROC", {{{}, std::string("x")}})},
        {"wrong parameter type",
         db::SqlCommand("EVENT_UPDATE", {{{}, std::string("X")}, {{}, std::string("six")}})},
    };
    for (const auto& c : cases) {
        const auto r = conn->ExecuteCommand(c.command);
        EXPECT_EQ(r.status, db::ExecStatus::Rejected) << c.what << ": " << r.error;
        EXPECT_FALSE(r.error.empty()) << c.what;
        EXPECT_EQ(conn->LastError(), r.error);
        EXPECT_TRUE(conn->IsOpen()) << c.what;
        EXPECT_TRUE(conn->ExecuteCommand(db::MakeGpsFix("healthy", {1, 2, 3, 4}, "")).applied())
            << c.what;
    }
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes WHERE device_name = 'poison'"), "0");
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"), std::to_string(std::size(cases)));
}

TEST_P(BackendTest, TransactionsCommitOrRollBackTogether) {
    // The steps a group runs through, taken one by one on the backend.
    auto opened = db::OpenBackend(store->ConnectionString(), 10, store->BaseDir());
    ASSERT_TRUE(opened.backend) << opened.error;
    db::Backend& backend = *opened.backend;
    ASSERT_TRUE(backend.Begin().applied());
    EXPECT_TRUE(backend.Execute(db::MakeOnlineEvent("gone")).applied());
    EXPECT_TRUE(backend.Execute(db::MakeGpsFix("gone", {1, 2, 3, 4}, "")).applied());
    ASSERT_TRUE(backend.Rollback().applied());
    ASSERT_TRUE(backend.Begin().applied());
    EXPECT_TRUE(backend.Execute(db::MakeOnlineEvent("kept")).applied());
    EXPECT_TRUE(backend.Execute(db::MakeGpsFix("kept", {1, 2, 3, 4}, "")).applied());
    ASSERT_TRUE(backend.Commit().applied());
    EXPECT_EQ(store->Query("SELECT device_name FROM devices"), (Rows{{"kept"}}));
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"), "1");
}

TEST_P(BackendTest, ProceduresCanBeCalledByHandWithTheCurrentTime) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();  // creates the SQLite schema
    std::string error;
    const bool ok =
        GetParam() == Kind::Sqlite
            ? store->Exec(
                  "INSERT INTO event_update (device_name, event_type_id) VALUES ('H', 6);"
                  "INSERT INTO gps_add (device_name, latitude, longitude, speed, course, "
                  "gps_info) VALUES ('H', 1.5, 2.5, 3, 4, 'by hand')",
                  &error)
            : store->Exec("CALL EVENT_UPDATE('H', 6); CALL GPS_ADD('H', 1.5, 2.5, 3, 4, 'by hand')",
                          &error);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(store->Query("SELECT online, gps_info, last_event_at IS NOT NULL, last_fix_at IS NOT "
                           "NULL FROM devices"),
              (Rows{{"1", "by hand", GetParam() == Kind::Sqlite ? "1" : "t",
                     GetParam() == Kind::Sqlite ? "1" : "t"}}));
}

TEST_P(BackendTest, ASessionEndedByTheServerIsReportedLostAndTheRetryLandsOnce) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    EXPECT_TRUE(conn->ExecuteCommand(db::MakeOnlineEvent("X7", kT0)).applied());
    if (!store->KillOtherSessions()) {
        GTEST_SKIP() << "no server session to end";
    }
    const auto fix = db::MakeGpsFix("X7", {1, 2, 3, 4}, "after", kT0 + 1s);
    const auto lost = conn->ExecuteCommand(fix);
    EXPECT_EQ(lost.status, db::ExecStatus::ConnectionLost) << lost.error;
    EXPECT_FALSE(conn->IsOpen());

    // What the worker does next: reopen and send the same statement again.
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    EXPECT_TRUE(conn->ExecuteCommand(fix).applied()) << conn->LastError();
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"), "1");
}

INSTANTIATE_TEST_SUITE_P(Backends, BackendTest,
                         ::testing::Values(Kind::Sqlite, Kind::Postgresql, Kind::Odbc),
                         dbtest::ParamName);

// What only one backend has.

TEST(SqliteStore, UsesWalAndKeepsDataAcrossReopens) {
    dbtest::TempDir dir;
    const std::string cs = "sqlite:events.db";
    {
        CMyDbConnection conn(dir.path());
        ASSERT_TRUE(conn.Open(cs, 5)) << conn.LastError();
        EXPECT_TRUE(conn.ExecuteCommand(db::MakeOnlineEvent("X7")).applied());
    }
    CMyDbConnection again(dir.path());
    ASSERT_TRUE(again.Open(cs, 5))
        << "the schema script runs again harmlessly: " << again.LastError();
    EXPECT_TRUE(again.ExecuteCommand(db::MakeOfflineEvent("X7")).applied());
    again.Close();

    const auto file = dir.path() / "events.db";
    EXPECT_EQ(dbtest::SqliteQuery(file, "PRAGMA journal_mode"), (Rows{{"wal"}}));
    EXPECT_EQ(dbtest::SqliteQuery(file, "SELECT online FROM devices"), (Rows{{"0"}}));
    EXPECT_EQ(dbtest::SqliteQuery(file, "SELECT count(*) FROM device_events"), (Rows{{"2"}}));
}

// A file made by an earlier version has the procedure that let a fix without
// a sentence overwrite the last position; opening it puts the new one in its
// place (both at once would store every fix twice).
TEST(SqliteStore, AnEarlierFileGetsTheFixProcedureReplaced) {
    dbtest::TempDir dir;
    const auto file = dir.path() / "events.db";
    {
        CMyDbConnection conn(dir.path());
        ASSERT_TRUE(conn.Open("sqlite:events.db", 5)) << conn.LastError();
    }
    std::string error;
    // As an earlier version made it: coordinates required, and a fix stored.
    dbtest::SqliteQuery(file,
                        "DROP TABLE gps_fixes;"
                        "CREATE TABLE gps_fixes (id INTEGER PRIMARY KEY, device_name TEXT NOT "
                        "NULL, latitude REAL NOT NULL, longitude REAL NOT NULL, speed INTEGER "
                        "NOT NULL, course INTEGER NOT NULL, gps_info TEXT NOT NULL, received_at "
                        "TEXT NOT NULL, statement_id TEXT UNIQUE) STRICT;"
                        "INSERT INTO gps_fixes VALUES (1, 'X7', 1.5, 2.5, 3, 4, '$GPRMC,kept', "
                        "'old', NULL);",
                        &error);
    ASSERT_EQ(error, "");
    dbtest::SqliteQuery(file,
                        "DROP TRIGGER gps_add_apply;"
                        "CREATE TRIGGER gps_add_call INSTEAD OF INSERT ON gps_add BEGIN "
                        "INSERT INTO gps_fixes (device_name, latitude, longitude, speed, course, "
                        "gps_info, received_at, statement_id) VALUES (NEW.device_name, "
                        "NEW.latitude, NEW.longitude, NEW.speed, NEW.course, NEW.gps_info, "
                        "'old', NEW.statement_id);"
                        "INSERT OR IGNORE INTO devices (device_name) VALUES (NEW.device_name);"
                        "UPDATE devices SET latitude = NEW.latitude, gps_info = NEW.gps_info "
                        "WHERE device_name = NEW.device_name; END;",
                        &error);
    ASSERT_EQ(error, "");

    CMyDbConnection conn(dir.path());
    ASSERT_TRUE(conn.Open("sqlite:events.db", 5)) << conn.LastError();
    EXPECT_TRUE(
        conn.ExecuteCommand(db::MakeGpsFix("X7", {25.5, 121.5, 1, 2}, "$GPRMC,real")).applied());
    EXPECT_TRUE(conn.ExecuteCommand(db::MakeGpsFix("X7", {0, 0, 0, 0}, "")).applied());
    conn.Close();
    EXPECT_EQ(dbtest::SqliteQuery(file,
                                  "SELECT name FROM sqlite_schema WHERE type = 'trigger' "
                                  "AND tbl_name = 'gps_add'"),
              (Rows{{"gps_add_apply"}}));
    EXPECT_EQ(dbtest::SqliteQuery(file, "SELECT latitude, gps_info FROM devices"),
              (Rows{{"25.5", "$GPRMC,real"}}));
    EXPECT_EQ(
        dbtest::SqliteQuery(file, "SELECT count(*) FROM gps_fixes WHERE received_at <> 'old'"),
        (Rows{{"2"}}));
    EXPECT_EQ(dbtest::SqliteQuery(file, "SELECT gps_info, latitude, longitude FROM gps_fixes "
                                        "ORDER BY id"),
              (Rows{{"$GPRMC,kept", "1.5", "2.5"},
                    {"$GPRMC,real", "25.5", "121.5"},
                    {"", "<null>", "<null>"}}));
}

TEST(PostgresqlStore, OpenFailsClearlyWithoutTheSchema) {
    std::string why;
    auto db = pgtest::TestDatabase::Create(why, /*installSchema=*/false);
    if (!db) {
        if (std::getenv("VARDO_TEST_PG_DIR") == nullptr) {
            GTEST_SKIP() << why;
        }
        FAIL() << why;
    }
    for (const std::string& cs : {db->ConnInfo(), dbtest::OdbcConnectionString(*db)}) {
        CMyDbConnection conn;
        EXPECT_FALSE(conn.Open(cs, 5)) << cs;
        EXPECT_NE(conn.LastError().find("postgresql.sql"), std::string::npos) << conn.LastError();
        EXPECT_FALSE(conn.IsOpen());
    }
}

}  // namespace
