// PostgreSQL on a network that dies under a statement: the stop cancels the
// call in flight instead of waiting for an answer that never comes.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "db/db_worker.h"
#include "tests/db/stop_cancel_support.h"
#include "tests/db/test_store.h"
#include "testsupport/loopback/loopback.h"
#include "testsupport/pg/pg_test_server.h"

namespace {

using namespace std::chrono;

// Relays one TCP client to the server's Unix socket until frozen; frozen, it
// keeps both connections open and passes nothing on: a dead network, as far
// as the client can tell (its packets are still acknowledged).
class FreezableRelay {
public:
    explicit FreezableRelay(std::string unixPath)
        : m_unixPath(std::move(unixPath)), m_thread([this] { Serve(); }) {}
    ~FreezableRelay() {
        m_stop = true;
        m_thread.join();
    }
    int port() const { return m_listener.port(); }
    void Freeze() { m_frozen = true; }

private:
    void Serve() {
        testsim::LineConnection accepted;
        while (!m_stop && !accepted.valid()) {
            accepted = m_listener.accept(20ms);
        }
        if (!accepted.valid()) {
            return;
        }
        const int client = accepted.fd();
        const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, m_unixPath.c_str(), sizeof addr.sun_path - 1);
        if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            char buf[65536];
            while (!m_stop) {
                if (m_frozen) {
                    std::this_thread::sleep_for(10ms);
                    continue;
                }
                pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (::poll(fds, 2, 20) <= 0) {
                    continue;
                }
                bool closed = false;
                for (int i = 0; i < 2 && !closed; ++i) {
                    if ((fds[i].revents & (POLLIN | POLLHUP)) != 0) {
                        const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                        closed = n <= 0 || ::write(fds[1 - i].fd, buf, static_cast<size_t>(n)) != n;
                    }
                }
                if (closed) {
                    break;
                }
            }
        }
        while (!m_stop) {
            std::this_thread::sleep_for(10ms);
        }
        ::close(server);
    }

    std::string m_unixPath;
    testsim::RawListener m_listener;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_frozen{false};
    std::thread m_thread;  // last: starts when the rest exists
};

TEST(PostgresqlStopCancel, AStatementOnADeadNetworkIsCancelledKeptAndAppliedOnceLater) {
    std::string error;
    auto database = pgtest::TestDatabase::Create(error);
    if (!database) {
        if (std::getenv("VARDO_TEST_PG_DIR") == nullptr) {
            GTEST_SKIP() << error;
        }
        FAIL() << error;
    }
    const std::string& direct = database->ConnInfo();
    FreezableRelay relay(pgtest::ConnInfoValue(direct, "host") + "/.s.PGSQL." +
                         pgtest::ConnInfoValue(direct, "port"));
    const std::string relayed = "host=127.0.0.1 port=" + std::to_string(relay.port()) +
                                " user=" + pgtest::ConnInfoValue(direct, "user") +
                                " dbname=" + pgtest::ConnInfoValue(direct, "dbname") +
                                " sslmode=disable";

    CMyCommandQueue queue;
    CMyDbConnection conn;
    // Two minutes for the statement: far longer than the stop may take.
    ASSERT_TRUE(conn.Open(relayed, 120)) << conn.LastError();
    db::WorkerOptions options;
    options.openTimeoutSeconds = 120;
    {
        CDbWorker worker(queue, conn, relayed, options);
        dbtest::LogRecord log;
        worker.SetLogSink(log.Sink());
        ASSERT_TRUE(worker.Start());
        relay.Freeze();
        queue.Push(db::MakeOnlineEvent("X7"));
        ASSERT_TRUE(dbtest::WaitUntil([&] { return queue.InFlight() == 1; }));
        std::this_thread::sleep_for(200ms);  // sent, waiting for the answer
        dbtest::ExpectStopCancelsAndKeeps(worker, queue, log);
    }
    conn.Close();

    ASSERT_TRUE(conn.Open(direct, 10)) << conn.LastError();
    CDbWorker worker(queue, conn, direct, options);
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(dbtest::WaitUntil([&] { return queue.Pending() == 0; }));
    worker.Stop(10000);
    conn.Close();
    EXPECT_EQ(database->Query("SELECT count(*) FROM device_events"), (pgtest::Rows{{"1"}}));
}

}  // namespace
