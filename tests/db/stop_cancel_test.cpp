// A stop must not hang on a database that does not answer: past the stop's
// wait the call in flight is cancelled, and its statement stays queued.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "db/db_worker.h"
#include "tests/db/stop_cancel_support.h"
#include "tests/db/test_store.h"
#include "testsupport/loopback/loopback.h"

namespace {

using namespace std::chrono;

// A TCP peer that accepts every connection and never sends a byte.
class SilentPeer {
public:
    SilentPeer()
        : m_thread([this] {
              while (!m_stop) {
                  if (auto c = m_listener.accept(20ms); c.valid()) {
                      m_accepted.push_back(std::move(c));
                      ++m_count;
                  }
              }
          }) {}
    ~SilentPeer() {
        m_stop = true;
        m_thread.join();
    }
    int port() const { return m_listener.port(); }
    int accepted() const { return m_count.load(); }

private:
    testsim::RawListener m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_count{0};
    std::vector<testsim::LineConnection> m_accepted;  // accept thread only, until joined
    std::thread m_thread;                             // last: starts when the rest exists
};

TEST(StopCancel, APeerThatAcceptsAndNeverAnswersDoesNotHoldTheStop) {
    SilentPeer peer;
    CMyCommandQueue queue;
    CMyDbConnection conn;
    db::WorkerOptions options;
    options.openTimeoutSeconds = 120;
    CDbWorker worker(queue, conn,
                     "host=127.0.0.1 port=" + std::to_string(peer.port()) +
                         " dbname=vardo user=vardo sslmode=disable",
                     options);
    dbtest::LogRecord log;
    worker.SetLogSink(log.Sink());
    queue.Push(db::MakeOnlineEvent("X7"));
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(dbtest::WaitUntil([&] { return peer.accepted() > 0; }));

    dbtest::ExpectStopCancelsAndKeeps(worker, queue, log);
    // The connection can be used again: the cancel ended with the stop.
    EXPECT_FALSE(conn.Open("host=127.0.0.1 port=" + std::to_string(peer.port()) +
                               " dbname=vardo user=vardo sslmode=disable",
                           1));
    EXPECT_EQ(conn.LastError().find("cancelled"), std::string::npos) << conn.LastError();
}

TEST(StopCancel, AStatementWaitingForALockIsCancelledKeptAndAppliedOnceLater) {
    char dir[] = "/tmp/vardo-cancel-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::filesystem::path path = std::filesystem::path(dir) / "events.db";
    const std::string connect = "sqlite:" + path.string();

    CMyCommandQueue queue;
    CMyDbConnection conn;
    ASSERT_TRUE(conn.Open(connect, 120)) << conn.LastError();  // two minutes of lock wait
    sqlite3* blocker = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &blocker), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(blocker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    db::WorkerOptions options;
    options.openTimeoutSeconds = 120;
    {
        CDbWorker worker(queue, conn, connect, options);
        dbtest::LogRecord log;
        worker.SetLogSink(log.Sink());
        queue.Push(db::MakeOnlineEvent("X7"));
        ASSERT_TRUE(worker.Start());
        ASSERT_TRUE(dbtest::WaitUntil([&] { return queue.InFlight() == 1; }));
        std::this_thread::sleep_for(200ms);  // into the lock wait
        dbtest::ExpectStopCancelsAndKeeps(worker, queue, log);
    }
    sqlite3_exec(blocker, "ROLLBACK", nullptr, nullptr, nullptr);

    CDbWorker worker(queue, conn, connect, options);
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(dbtest::WaitUntil([&] { return queue.Pending() == 0; }));
    worker.Stop(10000);
    conn.Close();
    sqlite3_stmt* count = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(blocker, "SELECT count(*) FROM device_events", -1, &count, nullptr),
        SQLITE_OK);
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(count, 0), 1);
    sqlite3_finalize(count);
    sqlite3_close(blocker);
    std::filesystem::remove_all(dir);
}

}  // namespace
