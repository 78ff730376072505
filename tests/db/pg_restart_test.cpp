// The test server is stopped and started again while statements flow: every
// statement lands once, in order. Runs alone (it stops the shared server).
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "db/db_worker.h"
#include "tests/db/test_store.h"

namespace {

using namespace std::chrono;
using dbtest::Rows;
using dbtest::WaitUntil;

// Through libpq, and through unixODBC with the PostgreSQL driver.
class PostgresqlRestart : public ::testing::TestWithParam<bool> {};

TEST_P(PostgresqlRestart, NothingIsLostOrDoubledWhenTheServerRestartsMidStream) {
    std::string why;
    auto db = pgtest::TestDatabase::Create(why);
    if (!db) {
        if (std::getenv("VARDO_TEST_PG_DIR") == nullptr) {
            GTEST_SKIP() << why;
        }
        FAIL() << why;
    }
    const std::string connectionString =
        GetParam() ? dbtest::OdbcConnectionString(*db) : db->ConnInfo();
    CMyDbConnection conn;
    CMyCommandQueue queue;
    db::WorkerOptions options;
    options.openTimeoutSeconds = 5;
    options.firstBackoff = 50ms;
    options.maxBackoff = 400ms;
    CDbWorker worker(queue, conn, connectionString, options);
    std::vector<std::string> log;  // worker thread until joined
    worker.SetLogSink([&](const std::string& line) { log.push_back(line); });
    ASSERT_TRUE(conn.Open(connectionString, 10)) << conn.LastError();
    ASSERT_TRUE(worker.Start());

    // A producer pushes a fix every millisecond until told to stop, so
    // statements are in flight before, during and after the outage however
    // fast or slow the machine is.
    const auto t0 = sys_days{2026y / December / 8} + 9h;
    std::atomic<int> pushed{0};
    std::atomic<bool> produce{true};
    std::thread producer([&] {
        for (int i = 0; produce; ++i) {
            queue.Push(db::MakeGpsFix("R" + std::to_string(i), {1, 2, 3, 4}, "", t0 + seconds(i)));
            ++pushed;
            std::this_thread::sleep_for(1ms);
        }
    });
    auto executed = [&] { return worker.Counters().executed; };

    ASSERT_TRUE(WaitUntil([&] { return executed() >= 200; }));
    std::string error;
    ASSERT_TRUE(pgtest::HaltServer(&error)) << error;
    EXPECT_TRUE(WaitUntil([&] { return worker.Counters().retried >= 2; }));
    const auto beforeRestart = executed();
    EXPECT_TRUE(pgtest::StartServer(&error)) << error;
    EXPECT_TRUE(WaitUntil([&] { return executed() >= beforeRestart + 200; }));
    produce = false;
    producer.join();
    const auto total = static_cast<std::uint64_t>(pushed.load());
    EXPECT_TRUE(WaitUntil([&] { return executed() == total; }));
    worker.Stop(10000);
    conn.Close();

    const auto c = worker.Counters();
    EXPECT_EQ(c.executed, total);
    EXPECT_EQ(c.rejected + c.dropped + c.pending, 0u);
    EXPECT_GE(c.retried, 2u);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.front().find("connection lost"), std::string::npos)
        << "the connection broke under the worker: " << log.front();
    for (const auto& line : log) {
        std::printf("worker: %s\n", line.c_str());
    }

    // Every statement once, and in push order (ids grow with the push order,
    // so do the received times).
    EXPECT_EQ(db->Query("SELECT count(*), count(DISTINCT statement_id) FROM gps_fixes"),
              (Rows{{std::to_string(total), std::to_string(total)}}));
    const Rows order = db->Query(
        "SELECT count(*) FROM (SELECT received_at < lag(received_at) OVER (ORDER BY id) AS back "
        "FROM gps_fixes) s WHERE back");
    EXPECT_EQ(order, (Rows{{"0"}}));
}

INSTANTIATE_TEST_SUITE_P(Through, PostgresqlRestart, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Odbc" : "Libpq"; });

}  // namespace
