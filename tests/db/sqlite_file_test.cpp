// A SQLite file deleted or replaced by an administrator while fixes flow:
// the worker, with the journal as the service runs it, must notice, open the
// path again and store every fix there once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/command_queue.h"
#include "db/db_connection.h"
#include "db/db_worker.h"
#include "db/statement_journal.h"
#include "tests/db/test_store.h"
#include "tests/db/worker_fixture.h"

namespace {

using namespace std::chrono_literals;
using dbtest::Rows;
using dbtest::WaitUntil;

std::string Name(std::uint64_t i) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "F%06llu", static_cast<unsigned long long>(i));
    return buf;
}

class SqliteFileWatch : public ::testing::Test {
protected:
    SqliteFileWatch() {
        db::JournalOptions options;
        options.dir = dir.path() / "journal";
        std::string error;
        auto journal = db::CStatementJournal::Open(options, nullptr, error);
        EXPECT_NE(journal, nullptr) << error;
        queue.AttachJournal(std::move(journal));
        db::WorkerOptions workerOptions = dbtest::FastRetries();
        workerOptions.fileCheckEvery = 50ms;
        worker = std::make_unique<CDbWorker>(queue, conn, "sqlite:events.db", workerOptions);
        worker->SetLogSink([this](const std::string& line) {
            std::lock_guard lock(logMutex);
            log.push_back(line);
        });
    }

    ~SqliteFileWatch() override {
        StopPushing();
        worker->Stop(10000);
        conn.Close();
        queue.Clear();
    }

    void StartPushing() {
        pusher = std::thread([this] {
            while (!stopPushing.load()) {
                for (int k = 0; k < 10; ++k) {
                    queue.Push(db::MakeGpsFix(Name(pushed.load()), {1, 2, 3, 4}, "$GPRMC"));
                    pushed.fetch_add(1);
                }
                std::this_thread::sleep_for(1ms);
            }
        });
    }

    void StopPushing() {
        stopPushing = true;
        if (pusher.joinable()) {
            pusher.join();
        }
    }

    std::size_t Logged(const std::string& part) {
        std::lock_guard lock(logMutex);
        std::size_t n = 0;
        for (const std::string& line : log) {
            n += line.find(part) != std::string::npos ? 1 : 0;
        }
        return n;
    }

    bool StoredAtLeast(std::uint64_t n) {
        return WaitUntil([&] { return worker->Counters().executed >= n; });
    }

    // The fixes the path's file holds: each once, and every one from the
    // first it holds (no later than `from`) to the last pushed.
    void ExpectEveryFixFrom(std::uint64_t from) {
        const auto file = dir.path() / "events.db";
        const Rows counts =
            dbtest::SqliteQuery(file,
                                "SELECT count(*), count(DISTINCT device_name), min(device_name), "
                                "max(device_name) FROM gps_fixes");
        ASSERT_EQ(counts.size(), 1u);
        const std::uint64_t total = pushed.load();
        ASSERT_GT(total, from);
        const std::uint64_t first = std::stoull(counts[0][2].substr(1));
        EXPECT_LE(first, from) << "fixes pushed after the file went are missing";
        EXPECT_EQ(counts[0][0], counts[0][1]) << "a fix stored twice";
        EXPECT_EQ(counts[0][3], Name(total - 1));
        EXPECT_EQ(counts[0][0], std::to_string(total - first)) << "fixes lost in between";
    }

    dbtest::TempDir dir;
    CMyDbConnection conn{dir.path()};
    CMyCommandQueue queue;
    std::unique_ptr<CDbWorker> worker;
    std::thread pusher;
    std::atomic<bool> stopPushing{false};
    std::atomic<std::uint64_t> pushed{0};
    std::mutex logMutex;
    std::vector<std::string> log;  // guarded by logMutex
};

TEST_F(SqliteFileWatch, AFileDeletedAndThenReplacedIsOpenedAgainAndEveryFixEndsThereOnce) {
    ASSERT_TRUE(conn.Open("sqlite:events.db", 5)) << conn.LastError();
    ASSERT_TRUE(worker->Start());
    StartPushing();
    ASSERT_TRUE(StoredAtLeast(300));

    const auto path = dir.path() / "events.db";
    std::filesystem::remove(path);
    const std::uint64_t pushedAtDelete = pushed.load();
    ASSERT_TRUE(WaitUntil([&] { return Logged("database file opened again") == 1; }));
    EXPECT_EQ(Logged(path.string() + " was deleted while in use"), 1u);
    ASSERT_TRUE(StoredAtLeast(worker->Counters().executed + 300));

    // Another database put in its place, as a restore from a backup would.
    const auto other = dir.path() / "restored.db";
    std::ofstream(other).close();  // an empty file is an empty database
    std::string error;
    dbtest::SqliteQuery(other, "CREATE TABLE kept(note TEXT); INSERT INTO kept VALUES ('mine')",
                        &error);
    ASSERT_TRUE(error.empty()) << error;
    std::filesystem::rename(other, path);
    const std::uint64_t pushedAtReplace = pushed.load();
    ASSERT_TRUE(WaitUntil([&] { return Logged("database file opened again") == 2; }));
    EXPECT_EQ(Logged(path.string() + " was replaced by another file while in use"), 1u);
    ASSERT_TRUE(StoredAtLeast(worker->Counters().executed + 300));

    StopPushing();
    ASSERT_TRUE(WaitUntil([&] { return queue.Pending() == 0; }));
    worker->Stop(10000);
    conn.Close();
    ExpectEveryFixFrom(pushedAtReplace);
    EXPECT_EQ(dbtest::SqliteQuery(path, "SELECT note FROM kept"), (Rows{{"mine"}}))
        << "the replaced file's log was applied to the new one";
    EXPECT_GT(pushedAtReplace, pushedAtDelete);
    const auto c = worker->Counters();
    EXPECT_EQ(c.executed, pushed.load()) << "each fix counted once as stored";
    EXPECT_EQ(c.rejected + c.dropped, 0u);
    EXPECT_EQ(worker->DownSince(), 0);
}

// A folder where the file was: the path cannot be opened again, and the
// worker says the database is down (the status line shows "unreachable",
// not "connected") until the folder goes; then every fix is stored.
TEST_F(SqliteFileWatch, APathThatCannotBeOpenedAgainIsDownUntilItCanAndLosesNothing) {
    ASSERT_TRUE(conn.Open("sqlite:events.db", 5)) << conn.LastError();
    ASSERT_TRUE(worker->Start());
    StartPushing();
    ASSERT_TRUE(StoredAtLeast(300));

    const auto path = dir.path() / "events.db";
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    const std::uint64_t pushedAtDelete = pushed.load();
    ASSERT_TRUE(WaitUntil([&] { return worker->DownSince() != 0; }));
    EXPECT_GE(Logged("cannot open the database"), 1u);
    const std::uint64_t storedWhileDown = worker->Counters().executed;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(worker->Counters().executed, storedWhileDown) << "stored into a file that is gone";
    EXPECT_NE(worker->DownSince(), 0);

    std::filesystem::remove(path);
    ASSERT_TRUE(WaitUntil([&] { return worker->DownSince() == 0; }));
    StopPushing();
    ASSERT_TRUE(WaitUntil([&] { return queue.Pending() == 0; }));
    worker->Stop(10000);
    conn.Close();
    ExpectEveryFixFrom(pushedAtDelete);
    EXPECT_EQ(worker->Counters().executed, pushed.load());
}

}  // namespace
