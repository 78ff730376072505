// gps_fixes upkeep: PostgreSQL's daily partitions made ahead and dropped past
// the retention, the upgrade of a table made by an earlier version, fixes
// across midnight, and SQLite's deletion in batches.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "db/db_connection.h"
#include "db/schema.h"
#include "db/sql_command.h"
#include "tests/db/test_store.h"
#include "testsupport/pg/pg_test_server.h"

namespace {

using namespace std::chrono;
using dbtest::Rows;

constexpr sys_days kDay = sys_days{year{2026} / March / 10};

std::unique_ptr<pgtest::TestDatabase> PgDatabase(bool installSchema = true) {
    std::string error;
    auto db = pgtest::TestDatabase::Create(error, installSchema);
    if (!db) {
        const char* dir = std::getenv("VARDO_TEST_PG_DIR");
        if (dir == nullptr || *dir == '\0') {
            return nullptr;  // run by hand without the server: skipped below
        }
        ADD_FAILURE() << error;
    }
    return db;
}

std::string One(pgtest::TestDatabase& db, const std::string& sql) {
    const Rows rows = db.Query(sql);
    return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "<no single value>";
}

// Fixes of `days` days before kDay (kDay itself included), spread evenly.
std::string FillSql(int rows, int days) {
    return "INSERT INTO gps_fixes (device_name, latitude, longitude, speed, course, gps_info, "
           "received_at, statement_id) "
           "SELECT 'D' || (g % 1000), 25.05, 121.67, 40, 90, '$GPRMC', "
           "timestamptz '2026-03-10 00:00:00+00' - interval '" +
           std::to_string(days - 1) + " days' + (g * interval '" + std::to_string(days * 86400) +
           " seconds') / " + std::to_string(rows) + ", gen_random_uuid() FROM generate_series(0, " +
           std::to_string(rows - 1) + ") g";
}

db::FixUpkeep At(sys_days today, int retentionDays, int daysAhead = 7) {
    db::FixUpkeep u;
    u.today = today;
    u.retentionDays = retentionDays;
    u.daysAhead = daysAhead;
    return u;
}

db::SqlCommand FixAt(const std::string& device, const std::string& utc) {
    std::tm tm{};
    strptime(utc.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
    const auto t = db::Clock::from_time_t(timegm(&tm));
    const auto ms = utc.size() > 20 ? std::stoi(utc.substr(20)) : 0;
    return db::MakeGpsFix(device, {25.05, 121.67, 40, 90}, "$GPRMC,fix", t + milliseconds(ms));
}

// The days of March 2026 (installing the schema made the real days too).
std::string Partitions(pgtest::TestDatabase& db) {
    return One(db,
               "SELECT string_agg(c.relname, ' ' ORDER BY c.relname) FROM pg_inherits i "
               "JOIN pg_class c ON c.oid = i.inhrelid WHERE i.inhparent = 'gps_fixes'::regclass "
               "AND c.relname LIKE 'gps_fixes_p202603%'");
}

TEST(FixUpkeepPostgresql, AMillionRowsMoveIntoDaysAndOldDaysAreDroppedWhole) {
    auto db = PgDatabase();
    if (!db) {
        GTEST_SKIP() << "no PostgreSQL test server (VARDO_TEST_PG_DIR)";
    }
    // Ten days of fixes, written while no partition of theirs existed: they
    // wait in the default partition.
    ASSERT_TRUE(db->Exec(FillSql(1'000'000, 10)));
    ASSERT_EQ(One(*db, "SELECT count(*) FROM gps_fixes_default"), "1000000");

    CMyDbConnection conn;
    ASSERT_TRUE(conn.Open(db->ConnInfo(), 60)) << conn.LastError();
    db::FixUpkeepResult r = conn.KeepFixes(At(kDay, 0, 2));
    ASSERT_TRUE(r.result.ran()) << r.result.error;
    EXPECT_EQ(r.partitionsCreated, 12u);  // the ten days, and two ahead
    EXPECT_EQ(r.partitionsDropped, 0u);
    EXPECT_EQ(One(*db, "SELECT count(*) FROM gps_fixes_default"), "0");
    EXPECT_EQ(One(*db, "SELECT count(*) FROM gps_fixes"), "1000000");
    EXPECT_EQ(One(*db, "SELECT count(*) FROM gps_fixes_p20260301"), "100000");
    EXPECT_EQ(One(*db, "SELECT count(*) FROM gps_fixes_p20260312"), "0");

    // Kept three full days: on the 12th the 8th's last moment is 3 days old.
    r = conn.KeepFixes(At(kDay + days(2), 3, 2));
    ASSERT_TRUE(r.result.ran()) << r.result.error;
    EXPECT_EQ(r.partitionsDropped, 8u);  // 1st to 8th
    EXPECT_EQ(r.partitionsCreated, 2u);  // 13th, 14th
    EXPECT_EQ(One(*db, "SELECT count(*) FROM gps_fixes"), "200000");
    EXPECT_EQ(
        One(*db, "SELECT min(received_at) >= timestamptz '2026-03-09 00:00+00' FROM gps_fixes"),
        "t");
    EXPECT_EQ(Partitions(*db),
              "gps_fixes_p20260309 gps_fixes_p20260310 gps_fixes_p20260311 "
              "gps_fixes_p20260312 gps_fixes_p20260313 gps_fixes_p20260314");

    // Run again, nothing changes; 0 days keeps everything.
    r = conn.KeepFixes(At(kDay + days(2), 3, 2));
    EXPECT_EQ(r.result.status, db::ExecStatus::NoRows) << r.result.error;
    r = conn.KeepFixes(At(kDay + days(400), 0, 0));
    EXPECT_EQ(r.partitionsDropped, 0u);
    EXPECT_EQ(One(*db, "SELECT count(*) FROM gps_fixes"), "200000");
}

TEST(FixUpkeepPostgresql, FixesAcrossMidnightAreStoredWithOrWithoutTheirDayAndReplayedOnce) {
    auto db = PgDatabase();
    if (!db) {
        GTEST_SKIP() << "no PostgreSQL test server (VARDO_TEST_PG_DIR)";
    }
    CMyDbConnection conn;
    ASSERT_TRUE(conn.Open(db->ConnInfo(), 30)) << conn.LastError();
    // Only the 10th has its partition: the upkeep has not run since.
    ASSERT_TRUE(db->Exec("DROP TABLE IF EXISTS gps_fixes_p20260311"));
    ASSERT_TRUE(conn.KeepFixes(At(kDay, 0, 0)).result.ran());

    const db::SqlCommand before = FixAt("M1", "2026-03-10 23:59:59.999");
    const db::SqlCommand after = FixAt("M1", "2026-03-11 00:00:00.000");
    EXPECT_EQ(conn.ExecuteCommand(before).status, db::ExecStatus::Applied) << conn.LastError();
    EXPECT_EQ(conn.ExecuteCommand(after).status, db::ExecStatus::Applied) << conn.LastError();
    EXPECT_EQ(One(*db, "SELECT count(*) FROM gps_fixes_default"), "1");
    // A statement sent again after a lost connection, before and after its
    // day got a partition, is still applied once.
    EXPECT_EQ(conn.ExecuteCommand(after).status, db::ExecStatus::NoRows);
    const db::FixUpkeepResult r = conn.KeepFixes(At(kDay + days(1), 0, 1));
    ASSERT_TRUE(r.result.ran()) << r.result.error;
    EXPECT_EQ(One(*db, "SELECT count(*) FROM gps_fixes_p20260311"), "1");
    EXPECT_EQ(conn.ExecuteCommand(after).status, db::ExecStatus::NoRows);
    EXPECT_EQ(conn.ExecuteCommand(before).status, db::ExecStatus::NoRows);
    EXPECT_EQ(One(*db, "SELECT count(*) FROM gps_fixes WHERE device_name = 'M1'"), "2");
    EXPECT_EQ(One(*db,
                  "SELECT last_fix_at = timestamptz '2026-03-11 00:00+00' FROM devices "
                  "WHERE device_name = 'M1'"),
              "t");
}

TEST(FixUpkeepPostgresql, ATableOfAnEarlierVersionIsPartitionedWithItsRowsAndIds) {
    auto db = PgDatabase(/*installSchema=*/false);
    if (!db) {
        GTEST_SKIP() << "no PostgreSQL test server (VARDO_TEST_PG_DIR)";
    }
    // gps_fixes as earlier versions made it, with rows in it.
    ASSERT_TRUE(db->Exec(R"(
        CREATE TABLE gps_fixes (
            id           bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY,
            device_name  text NOT NULL,
            latitude     double precision NOT NULL,
            longitude    double precision NOT NULL,
            speed        integer NOT NULL,
            course       integer NOT NULL,
            gps_info     text NOT NULL,
            received_at  timestamptz NOT NULL,
            statement_id uuid,
            CONSTRAINT gps_fixes_statement_id_key UNIQUE (statement_id));
        CREATE INDEX gps_fixes_device_time ON gps_fixes (device_name, received_at);)"));
    ASSERT_TRUE(db->Exec(FillSql(50'000, 5)));
    const std::string sums =
        "SELECT count(*) || ' ' || sum(id) || ' ' || max(id) || ' ' || "
        "count(DISTINCT statement_id) FROM gps_fixes";
    const std::string before = One(*db, sums);
    const std::string oldId = One(*db, "SELECT statement_id FROM gps_fixes WHERE id = 7");
    const std::string oldAt = One(*db, "SELECT received_at FROM gps_fixes WHERE id = 7");
    const std::string oldDevice = One(*db, "SELECT device_name FROM gps_fixes WHERE id = 7");

    std::string error;
    ASSERT_TRUE(db->Exec(std::string(db::PostgresqlSchemaSql()), &error)) << error;
    ASSERT_TRUE(db->Exec(std::string(db::PostgresqlSchemaSql()), &error)) << error;  // again

    EXPECT_EQ(One(*db, "SELECT relkind FROM pg_class WHERE oid = 'gps_fixes'::regclass"), "p");
    EXPECT_EQ(One(*db, sums), before);
    EXPECT_EQ(One(*db, "SELECT to_regclass('gps_fixes_unpartitioned') IS NULL"), "t");
    EXPECT_EQ(One(*db, "SELECT count(*) FROM gps_fixes_p20260306"), "10000");
    EXPECT_EQ(One(*db, "SELECT count(*) FROM gps_fixes_default"), "0");
    // A stored statement sent again is still known; a new fix gets a new id.
    EXPECT_EQ(One(*db, "CALL gps_add('" + oldDevice + "', 1, 2, 3, 4, '$GP', '" + oldAt + "', '" +
                           oldId + "', NULL)"),
              "0");
    EXPECT_EQ(One(*db, "CALL gps_add('new', 1, 2, 3, 4, '$GP')"), "1");
    EXPECT_EQ(One(*db, "SELECT id > 50000 FROM gps_fixes WHERE device_name = 'new'"), "t");
}

TEST(FixUpkeepSqlite, OldFixesGoInBatchesUntilNoneIsLeft) {
    dbtest::TempDir dir;
    const auto file = dir.path() / "events.db";
    CMyDbConnection conn;
    ASSERT_TRUE(conn.Open("sqlite:" + file.string(), 30)) << conn.LastError();
    // Six days of 20,000 fixes each, the 5th to the 10th of March.
    std::string error;
    dbtest::SqliteQuery(file,
                        "WITH RECURSIVE g(n) AS (SELECT 0 UNION ALL SELECT n + 1 FROM g "
                        "WHERE n < 119999) "
                        "INSERT INTO gps_fixes (device_name, latitude, longitude, speed, course, "
                        "gps_info, received_at, statement_id) "
                        "SELECT 'D' || (n % 100), 1, 2, 3, 4, '$GP', "
                        "strftime('%Y-%m-%d %H:%M:%f', '2026-03-05', (n * 432 / 100) || ' seconds')"
                        ", 'id' || n FROM g",
                        &error);
    ASSERT_EQ(error, "");

    db::FixUpkeep upkeep = At(kDay, 2);  // keeps the 8th, 9th and 10th
    upkeep.batchRows = 1000;
    upkeep.maxBatches = 10;
    db::FixUpkeepResult r = conn.KeepFixes(upkeep);
    ASSERT_TRUE(r.result.ran()) << r.result.error;
    EXPECT_EQ(r.rowsDeleted, 10'000u);  // one call: at most ten batches
    EXPECT_TRUE(r.more);
    std::uint64_t total = r.rowsDeleted;
    while (r.more) {
        r = conn.KeepFixes(upkeep);
        ASSERT_TRUE(r.result.ran()) << r.result.error;
        total += r.rowsDeleted;
    }
    EXPECT_EQ(total, 60'000u);
    const Rows left = dbtest::SqliteQuery(
        file, "SELECT count(*), min(received_at) >= '2026-03-08 00:00:00.000' FROM gps_fixes");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0][0], "60000");
    EXPECT_EQ(left[0][1], "1");
    // 0 keeps all.
    EXPECT_EQ(conn.KeepFixes(At(kDay + days(100), 0)).rowsDeleted, 0u);
}

}  // namespace
