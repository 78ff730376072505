// The database worker over every backend, against real databases.
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "db/db_worker.h"
#include "tests/db/worker_fixture.h"

namespace {

using namespace std::chrono;
using dbtest::FastRetries;
using dbtest::Kind;
using dbtest::Rows;
using dbtest::WaitUntil;

const auto kT0 = sys_days{2026y / December / 8} + 8h;

class WorkerTest : public dbtest::WorkerFixture {
protected:
    std::string BrokenConnectionString() {
        if (GetParam() == Kind::Sqlite) {
            std::ofstream(blocker.path() / "file") << "not a folder";
            return "sqlite:" + (blocker.path() / "file" / "events.db").string();
        }
        if (GetParam() == Kind::Odbc) {
            return std::string("Driver={") + dbtest::kPostgresqlOdbcDriver +
                   "};Server=" + blocker.path().string() + ";Port=5432;Database=none";
        }
        return "host=" + blocker.path().string() + " dbname=none";
    }

    bool WaitExecuted(std::uint64_t n) {
        return WaitUntil([&] { return worker->Counters().executed >= n; });
    }

    dbtest::TempDir blocker;
};

std::string Name(int i) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "D%04d", i);
    return buf;
}

TEST_P(WorkerTest, ExecutesStatementsOneByOneInPushOrder) {
    StartService();
    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i) {
        const auto t = kT0 + milliseconds(i);
        if (i % 3 == 0) {
            queue.Push(db::MakeOnlineEvent(Name(i), t));
        } else {
            queue.Push(db::MakeGpsFix(Name(i), {i / 1000.0, -i / 1000.0, i * 1.0, i * 1.0},
                                      "s" + Name(i), t));
        }
    }
    ASSERT_TRUE(WaitExecuted(kCount));
    StopService();

    Rows events = store->Query("SELECT device_name FROM device_events ORDER BY id");
    Rows fixes = store->Query("SELECT device_name FROM gps_fixes ORDER BY id");
    Rows expectedEvents, expectedFixes;
    for (int i = 0; i < kCount; ++i) {
        (i % 3 == 0 ? expectedEvents : expectedFixes).push_back({Name(i)});
    }
    EXPECT_EQ(events, expectedEvents);
    EXPECT_EQ(fixes, expectedFixes);
    const auto c = worker->Counters();
    EXPECT_EQ(c.queued, std::uint64_t{kCount});
    EXPECT_EQ(c.executed, std::uint64_t{kCount});
    EXPECT_EQ(c.rejected + c.dropped + c.retried + c.discarded + c.pending, 0u);
}

TEST_P(WorkerTest, StatementsQueuedAtStopAreDiscardedAndNeverRunAfterANewStart) {
    StartService();
    constexpr int kCount = 3000;
    for (int i = 0; i < kCount; ++i) {
        queue.Push(db::MakeGpsFix(Name(i), {1, 2, 3, 4}, "first run"));
    }
    const std::size_t discarded = StopService();
    auto c = worker->Counters();
    EXPECT_EQ(c.executed + discarded, std::uint64_t{kCount}) << "none lost unaccounted";
    EXPECT_EQ(c.discarded, discarded);
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"), std::to_string(c.executed));

    ASSERT_TRUE(OpenConn()) << conn->LastError();
    ASSERT_TRUE(worker->Start());
    queue.Push(db::MakeGpsFix("after restart", {1, 2, 3, 4}, "second run"));
    ASSERT_TRUE(WaitExecuted(c.executed + 1));
    StopService();
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"), std::to_string(c.executed + 1));
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes WHERE gps_info = 'second run'"), "1");
}

TEST_P(WorkerTest, ARejectedStatementIsDroppedAndTheNextOneRuns) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    ASSERT_TRUE(store->InstallRejection("poison"));
    MakeWorker(store->ConnectionString());
    ASSERT_TRUE(worker->Start());
    queue.Push(db::MakeGpsFix("before", {1, 2, 3, 4}, ""));
    queue.Push(db::MakeGpsFix("poison", {1, 2, 3, 4}, ""));
    queue.Push(db::MakeOnlineEvent("poison"));
    queue.Push(db::MakeGpsFix("after", {1, 2, 3, 4}, ""));
    ASSERT_TRUE(WaitUntil([&] {
        const auto c = worker->Counters();
        return c.executed == 2 && c.rejected == 2;
    }));
    StopService();
    EXPECT_EQ(store->Query("SELECT device_name FROM gps_fixes ORDER BY id"),
              (Rows{{"before"}, {"after"}}));
    EXPECT_EQ(worker->Counters().retried, 0u) << "a refused statement is not retried";
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[1].find("EXEC EVENT_UPDATE @DeviceName='poison'"), std::string::npos) << log[1];
    EXPECT_EQ(worker->LastError(), log[1]);
}

TEST_P(WorkerTest, AStopEndsTheBackOffAtOnceAndKeepsTheStatementForTheStop) {
    MakeWorker(BrokenConnectionString(), {5, hours(1), hours(1)});
    queue.Push(db::MakeOnlineEvent("A"));
    queue.Push(db::MakeOnlineEvent("B"));
    ASSERT_TRUE(worker->Start());
    ASSERT_TRUE(WaitUntil([&] { return !worker->LastError().empty(); }));
    EXPECT_NE(worker->LastError().find("cannot open the database"), std::string::npos);
    worker->Stop(10000);  // hangs for an hour if the back-off ignores the stop
    EXPECT_FALSE(worker->HasThread());
    const auto c = worker->Counters();
    EXPECT_EQ(c.executed, 0u);
    EXPECT_EQ(c.pending, 2u) << "the statement in hand went back to the front";
    std::vector<db::SqlCommand> first;
    ASSERT_EQ(queue.Take(first, 1), 1u);
    EXPECT_EQ(std::get<std::string>(first.front().params()[0].value), "A");
    queue.Settle(1);
    EXPECT_EQ(queue.Clear(), 1u);
}

// Fixes past EventServer_FixRetentionDays go at the first statement after
// the start, in our schemas; a site's own tables (ODBC) are left alone.
TEST_P(WorkerTest, FixesPastTheirRetentionGoAtTheFirstStatementAfterTheStart) {
    const auto now = system_clock::now();
    StartService();
    queue.Push(db::MakeGpsFix("old", {1, 2, 3, 4}, "$GPRMC,old", now - days(100)));
    queue.Push(db::MakeGpsFix("recent", {1, 2, 3, 4}, "$GPRMC,recent", now - days(2)));
    ASSERT_TRUE(WaitExecuted(2));
    StopService();

    db::WorkerOptions options = FastRetries();
    options.fixRetentionDays = 30;
    log.clear();
    StartService(options);
    queue.Push(db::MakeGpsFix("new", {1, 2, 3, 4}, "$GPRMC,new", now));
    ASSERT_TRUE(WaitExecuted(1));
    StopService();

    const bool ours = GetParam() != Kind::Odbc;
    EXPECT_EQ(store->Query("SELECT device_name FROM gps_fixes ORDER BY device_name"),
              ours ? (Rows{{"new"}, {"recent"}}) : (Rows{{"new"}, {"old"}, {"recent"}}));
    const bool logged = std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.find("fixes older than 30 days") != std::string::npos;
    });
    EXPECT_EQ(logged, ours);
    EXPECT_EQ(worker->LastError(), "");
}

INSTANTIATE_TEST_SUITE_P(Backends, WorkerTest,
                         ::testing::Values(Kind::Sqlite, Kind::Postgresql, Kind::Odbc),
                         dbtest::ParamName);

TEST(SqliteWorker, KeepsStatementsWhileTheDatabaseCannotBeOpenedWithinTheQueueBound) {
    dbtest::TempDir dir;
    const auto blocker = dir.path() / "data";
    std::ofstream(blocker) << "a file where the folder should be";
    CMyDbConnection conn(dir.path());
    CMyCommandQueue queue(3);
    CDbWorker worker(queue, conn, "sqlite:data/events.db", FastRetries());

    for (int i = 0; i < 10; ++i) {
        queue.Push(db::MakeGpsFix(Name(i), {1, 2, 3, 4}, ""));
    }
    EXPECT_EQ(worker.Counters().dropped, 7u) << "the oldest go past the bound";
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(WaitUntil([&] { return worker.Counters().retried >= 2; }));
    EXPECT_EQ(worker.Counters().executed, 0u);

    std::filesystem::remove(blocker);  // the administrator fixes the disk
    ASSERT_TRUE(WaitUntil([&] { return worker.Counters().executed == 3; }));
    worker.Stop(10000);
    conn.Close();
    EXPECT_EQ(dbtest::SqliteQuery(dir.path() / "data" / "events.db",
                                  "SELECT device_name FROM gps_fixes ORDER BY id"),
              (Rows{{Name(7)}, {Name(8)}, {Name(9)}}));
    EXPECT_EQ(worker.Counters().rejected, 0u);
}

// A real full disk (a small tmpfs, mounted when the test runs as root): the
// worker says "disk full" (not "busy"), keeps every statement, and stores
// them once space returns.
TEST(SqliteWorker, AFullDiskIsSaidAndEveryStatementIsStoredOnceSpaceReturns) {
    dbtest::TempDir dir;
    const auto disk = dir.path() / "disk";
    std::filesystem::create_directory(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs (needs root): " << std::strerror(errno);
    }
    struct Unmount {
        std::filesystem::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};

    CMyDbConnection conn(dir.path());
    CMyCommandQueue queue;
    CDbWorker worker(queue, conn, "sqlite:disk/events.db", FastRetries());
    std::vector<std::string> log;
    worker.SetLogSink([&](const std::string& line) { log.push_back(line); });
    ASSERT_TRUE(conn.Open("sqlite:disk/events.db", 5)) << conn.LastError();
    ASSERT_TRUE(worker.Start());
    queue.Push(db::MakeGpsFix(Name(0), {1, 2, 3, 4}, "$GPRMC,first"));
    ASSERT_TRUE(WaitUntil([&] { return worker.Counters().executed == 1; }));

    {
        // Everything the tmpfs has left goes to a filler file.
        std::ofstream filler(disk / "filler", std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) &&
               filler.flush()) {
        }
    }
    for (int i = 1; i <= 200; ++i) {
        queue.Push(db::MakeGpsFix(Name(i), {1, 2, 3, 4}, "$GPRMC," + std::string(200, 'x')));
    }
    const bool full = WaitUntil([&] { return worker.DiskFull(); }, std::chrono::seconds(20));
    worker.Stop(10000);  // the log is the worker thread's until then
    ASSERT_TRUE(full) << (log.empty() ? std::string("nothing logged") : log.back());
    EXPECT_NE(std::find_if(log.begin(), log.end(),
                           [](const std::string& l) {
                               return l.starts_with("database disk full, retrying");
                           }),
              log.end());

    std::filesystem::remove(disk / "filler");  // the operator frees space
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(WaitUntil([&] { return worker.Counters().executed == 201; }));
    EXPECT_FALSE(worker.DiskFull());
    worker.Stop(10000);
    conn.Close();
    EXPECT_EQ(dbtest::SqliteQuery(disk / "events.db",
                                  "SELECT count(*), count(DISTINCT device_name) FROM gps_fixes"),
              (Rows{{"201", "201"}}));
}

}  // namespace
