// Several statements in one transaction: what a group keeps, what a refused
// statement or a lost connection does to it, and the worker's switch.
#include <atomic>
#include <cstdlib>
#include <thread>

#include "db/db_worker.h"
#include "tests/db/worker_fixture.h"

namespace {

using namespace std::chrono;
using dbtest::BackendTest;
using dbtest::Kind;
using dbtest::Rows;
using dbtest::WaitUntil;

const auto kT0 = sys_days{2026y / December / 8} + 10h;

// A group written as letters, one statement each:
//   g  a fix of a healthy device        e  an online event of a healthy device
//   P  a fix the database refuses       p  an event the database refuses
//   X  a call the client refuses (unknown procedure)
// Healthy statements are named "<tag>-<position>"; refused ones "poison".
std::vector<db::SqlCommand> Statements(const std::string& tag, std::string_view pattern) {
    std::vector<db::SqlCommand> out;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const std::string name = tag + "-" + std::to_string(i);
        const auto t = kT0 + milliseconds(static_cast<int>(i));
        switch (pattern[i]) {
            case 'g':
                out.push_back(db::MakeGpsFix(name, {1, 2, 3, 4}, tag, t));
                break;
            case 'e':
                out.push_back(db::MakeOnlineEvent(name, t));
                break;
            case 'P':
                out.push_back(db::MakeGpsFix("poison", {1, 2, 3, 4}, tag, t));
                break;
            case 'p':
                out.push_back(db::MakeOnlineEvent("poison", t));
                break;
            default:
                out.push_back(db::SqlCommand("NO_SUCH_PROC", {{{}, name}}, t));
                break;
        }
    }
    return out;
}

// The names the healthy statements of `pattern` store, in order.
Rows HealthyNames(const std::string& tag, std::string_view pattern, char kind) {
    Rows rows;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == kind) {
            rows.push_back({tag + "-" + std::to_string(i)});
        }
    }
    return rows;
}

std::size_t Refused(std::string_view pattern) {
    std::size_t n = 0;
    for (char c : pattern) {
        n += (c == 'P' || c == 'p' || c == 'X') ? 1 : 0;
    }
    return n;
}

// Maximal runs of healthy statements: each commits as one group.
std::size_t HealthyRuns(std::string_view pattern) {
    std::size_t runs = 0;
    bool inRun = false;
    for (char c : pattern) {
        const bool healthy = c == 'g' || c == 'e';
        runs += (healthy && !inRun) ? 1 : 0;
        inRun = healthy;
    }
    return runs;
}

// --- the backends' group execution -------------------------------------------

TEST_P(BackendTest, AGroupCommitsWholeOrLeavesNothingAndTheConnectionGoesOn) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    ASSERT_TRUE(store->InstallRejection("poison"));
    const struct {
        const char* tag;
        const char* pattern;
        db::ExecStatus status;
        std::size_t failedAt;
    } cases[] = {
        {"all", "gegeg", db::ExecStatus::Applied, db::GroupResult::kTransaction},
        {"middle", "ggPgg", db::ExecStatus::Rejected, 2},
        {"first", "pggg", db::ExecStatus::Rejected, 0},
        {"last", "gggP", db::ExecStatus::Rejected, 3},
        {"client", "gXgg", db::ExecStatus::Rejected, 1},
        {"two", "gPgPg", db::ExecStatus::Rejected, 1},
        {"run", "gggggPggeggg", db::ExecStatus::Rejected, 5},
        {"runs", "ggegPgg", db::ExecStatus::Rejected, 4},
    };
    for (const auto& c : cases) {
        const auto group = Statements(c.tag, c.pattern);
        const db::GroupResult r = conn->ExecuteGroup(group);
        EXPECT_EQ(r.result.status, c.status) << c.tag << ": " << r.result.error;
        EXPECT_EQ(r.failedAt, c.failedAt) << c.tag;
        EXPECT_TRUE(conn->IsOpen()) << c.tag;
        const std::string mine = " WHERE device_name LIKE '" + std::string(c.tag) + "-%'";
        const bool committed = c.status == db::ExecStatus::Applied;
        EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes" + mine) + "/" +
                      store->Scalar("SELECT count(*) FROM device_events" + mine),
                  committed ? "3/2" : "0/0")
            << c.tag << ": a group commits whole or not at all";
        EXPECT_EQ(r.applied, committed ? group.size() : 0u) << c.tag;

        // The failed group's transaction is over: a statement run alone now
        // commits and is seen from another connection.
        EXPECT_TRUE(
            conn->ExecuteCommand(db::MakeOnlineEvent(std::string(c.tag) + "-after")).applied())
            << c.tag;
        EXPECT_EQ(store->Scalar("SELECT count(*) FROM device_events WHERE device_name = '" +
                                std::string(c.tag) + "-after'"),
                  "1")
            << c.tag;
    }
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes WHERE device_name = 'poison'"), "0");
}

TEST_P(BackendTest, AGroupSentAgainAfterItsCommitChangesNothing) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    const auto group = Statements("once", "gegg");
    ASSERT_TRUE(conn->ExecuteGroup(group).committed()) << conn->LastError();
    // As the worker sends it when the connection broke before the commit's
    // answer arrived.
    conn->Close();
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    const db::GroupResult again = conn->ExecuteGroup(group);
    EXPECT_TRUE(again.committed()) << again.result.error;
    EXPECT_EQ(again.applied, 0u);
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"), "3");
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM device_events"), "1");
}

TEST_P(BackendTest, AGroupLargerThanEverySocketBufferGoesThroughInOrder) {
    // A pipeline that waited for the whole group to be sent before reading
    // would stall here: the answers fill the server's socket while the
    // requests still fill ours.
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    constexpr int kCount = 20000;
    std::vector<db::SqlCommand> group;
    const std::string info(300, 'i');
    for (int i = 0; i < kCount; ++i) {
        group.push_back(
            db::MakeGpsFix("L" + std::to_string(i), {1, 2, 3, 4}, info, kT0 + milliseconds(i)));
    }
    const db::GroupResult r = conn->ExecuteGroup(group);
    ASSERT_TRUE(r.committed()) << r.result.error;
    EXPECT_EQ(r.applied, std::size_t{kCount});
    EXPECT_EQ(store->Query("SELECT count(*), min(device_name), max(device_name) FROM gps_fixes"),
              (Rows{{std::to_string(kCount), "L0", "L9999"}}));
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM (SELECT received_at < lag(received_at) OVER "
                            "(ORDER BY id) AS back FROM gps_fixes) s WHERE back"),
              "0");
}

// --- the worker --------------------------------------------------------------

db::WorkerOptions Options(bool groupCommit = true, std::size_t groupSize = 512) {
    db::WorkerOptions o = dbtest::FastRetries();
    o.groupCommit = groupCommit;
    o.groupSize = groupSize;
    return o;
}

class GroupWorkerTest : public dbtest::WorkerFixture {
protected:
    // Queued before the start, so that the worker finds them all waiting.
    void Queue(const std::vector<db::SqlCommand>& statements) {
        for (const auto& s : statements) {
            queue.Push(s);
        }
    }

    // Waits until nothing is pending, then stops as the service does.
    db::WorkerCounters Drain() {
        EXPECT_TRUE(WaitUntil([&] { return worker->Counters().pending == 0; }));
        EXPECT_EQ(StopService(), 0u);
        return worker->Counters();
    }
};

TEST_P(GroupWorkerTest, RefusedStatementsAreDroppedAloneAndTheRestOfTheirGroupIsApplied) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    ASSERT_TRUE(store->InstallRejection("poison"));
    const char* const patterns[] = {"gggPggg", "pgggg", "ggggP", "PPPP",      "gPPg",
                                    "PgXgp",   "gegeg", "X",     "ggXggPggp", "g"};
    int n = 0;
    for (const std::string_view pattern : patterns) {
        SCOPED_TRACE(pattern);
        const std::string tag = "c" + std::to_string(n++);
        log.clear();
        Queue(Statements(tag, pattern));
        StartService(Options());
        const auto counters = Drain();

        const std::string mine = " WHERE device_name LIKE '" + tag + "-%' ORDER BY id";
        EXPECT_EQ(store->Query("SELECT device_name FROM gps_fixes" + mine),
                  HealthyNames(tag, pattern, 'g'));
        EXPECT_EQ(store->Query("SELECT device_name FROM device_events" + mine),
                  HealthyNames(tag, pattern, 'e'));
        const std::size_t refused = Refused(pattern);
        EXPECT_EQ(counters.rejected, refused);
        EXPECT_EQ(counters.executed, pattern.size() - refused);
        EXPECT_EQ(counters.retried, 0u) << "a refused statement is not retried";
        // Each run of healthy statements commits as one group. A statement
        // the client refuses may never reach the database, and then need not
        // split its run.
        std::string reachesDatabase(pattern);
        std::erase(reachesDatabase, 'X');
        EXPECT_LE(counters.commits, HealthyRuns(pattern));
        EXPECT_GE(counters.commits, HealthyRuns(reachesDatabase));
        EXPECT_EQ(log.size(), refused) << "one line per refused statement";
    }
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes WHERE device_name = 'poison'"), "0");
}

TEST_P(GroupWorkerTest, TheSwitchAndTheSizeDecideHowManyStatementsShareACommit) {
    const struct {
        bool groupCommit;
        std::size_t groupSize;
        int statements;
        std::uint64_t commits;
    } cases[] = {
        {false, 512, 40, 40},  // off: one commit per statement, as always
        {true, 512, 40, 1},    // everything waiting goes in one transaction
        {true, 16, 40, 3},     // 16 + 16 + 8
        {true, 1, 40, 40},     // a group of one is a statement alone
        {true, 0, 40, 40},     // a size of 0 means one as well
        {true, 512, 1, 1},     // one waiting statement commits alone
    };
    const bool server = GetParam() != Kind::Sqlite;
    if (server) {
        // The database's own count: each row keeps the top-level transaction
        // that wrote it (savepoints of a driver do not split it).
        ASSERT_TRUE(store->Exec(
            "ALTER TABLE gps_fixes ADD COLUMN test_xact bigint DEFAULT txid_current()"));
    }
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "grouping " << c.groupCommit << ", size "
                                          << c.groupSize << ", " << c.statements << " statements");
        const std::string tag = "s" + std::to_string(n++);
        std::vector<db::SqlCommand> statements;
        for (int i = 0; i < c.statements; ++i) {
            const double v = i;
            statements.push_back(db::MakeGpsFix(tag + "-" + std::to_string(i), {v, v, v, v}, "",
                                                kT0 + milliseconds(i)));
        }
        Queue(statements);
        StartService(Options(c.groupCommit, c.groupSize));
        const auto counters = Drain();
        EXPECT_EQ(counters.executed, std::uint64_t(c.statements));
        EXPECT_EQ(counters.commits, c.commits);
        const std::string mine = " FROM gps_fixes WHERE device_name LIKE '" + tag + "-%'";
        EXPECT_EQ(store->Scalar("SELECT count(*)" + mine), std::to_string(c.statements));
        if (server) {
            EXPECT_EQ(store->Scalar("SELECT count(DISTINCT test_xact)" + mine),
                      std::to_string(c.commits));
        }
    }
}

TEST_P(GroupWorkerTest, OrderHoldsAcrossGroupsWhileStatementsKeepArriving) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    ASSERT_TRUE(store->InstallRejection("poison"));
    // Pushed in bursts from another thread while small groups commit, with a
    // refused statement now and then.
    constexpr int kCount = 3000;
    Rows expected;
    std::vector<db::SqlCommand> statements;
    for (int i = 0; i < kCount; ++i) {
        const auto t = kT0 + milliseconds(i);
        if (i % 97 == 13) {
            statements.push_back(db::MakeGpsFix("poison", {1, 2, 3, 4}, "", t));
            continue;
        }
        const std::string name = "O" + std::to_string(i);
        statements.push_back(i % 5 == 0 ? db::MakeOnlineEvent(name, t)
                                        : db::MakeGpsFix(name, {1, 2, 3, 4}, "", t));
        if (i % 5 != 0) {
            expected.push_back({name});
        }
    }
    StartService(Options(true, 7));
    std::thread producer([&] {
        for (int i = 0; i < kCount; ++i) {
            queue.Push(statements[static_cast<std::size_t>(i)]);
            if (i % 50 == 49) {
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    producer.join();
    const auto c = Drain();
    EXPECT_EQ(store->Query("SELECT device_name FROM gps_fixes ORDER BY id"), expected);
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM (SELECT received_at < lag(received_at) OVER "
                            "(ORDER BY id) AS back FROM device_events) s WHERE back"),
              "0");
    EXPECT_EQ(c.executed + c.rejected, std::uint64_t{kCount});
    EXPECT_EQ(c.rejected, std::uint64_t{(kCount - 13 + 96) / 97});
    EXPECT_GE(c.commits * 7, c.executed) << "no group larger than its size";
}

INSTANTIATE_TEST_SUITE_P(Backends, GroupWorkerTest,
                         ::testing::Values(Kind::Sqlite, Kind::Postgresql, Kind::Odbc),
                         dbtest::ParamName);

// --- A database server: connections that break in the middle of a group -----

// PostgreSQL, through libpq and through ODBC.
class ServerGroupCommit : public GroupWorkerTest {};

TEST_P(ServerGroupCommit, AConnectionKilledInTheMiddleOfAGroupRetriesItAndAppliesEachOnce) {
    // The server ends the worker's own connection while it runs the 51st of
    // 100 statements, once: a sequence is not rolled back with the group.
    ASSERT_TRUE(store->Exec(
        "CREATE SEQUENCE test_kill_seq;"
        "CREATE FUNCTION test_kill_once() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
        "IF nextval('test_kill_seq') = 1 THEN PERFORM pg_terminate_backend(pg_backend_pid()); "
        "END IF; RETURN NEW; END $$;"
        "CREATE TRIGGER test_kill BEFORE INSERT ON gps_fixes FOR EACH ROW "
        "WHEN (NEW.device_name LIKE '%-50') EXECUTE FUNCTION test_kill_once();"));
    const struct {
        std::size_t groupSize;
        std::uint64_t commits;
    } cases[] = {{512, 1}, {30, 4}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "groups of " << c.groupSize);
        const std::string tag = "k" + std::to_string(n++);
        ASSERT_TRUE(store->Exec("ALTER SEQUENCE test_kill_seq RESTART"));
        log.clear();
        std::vector<db::SqlCommand> statements;
        Rows expected;
        for (int i = 0; i < 100; ++i) {
            const std::string name = tag + "-" + std::to_string(i);
            statements.push_back(db::MakeGpsFix(name, {1, 2, 3, 4}, "", kT0 + milliseconds(i)));
            expected.push_back({name});
        }
        Queue(statements);
        StartService(Options(true, c.groupSize));
        const auto counters = Drain();

        EXPECT_EQ(store->Scalar("SELECT last_value FROM test_kill_seq"), "2")
            << "killed once, then applied on the new connection";
        const std::string mine = " FROM gps_fixes WHERE device_name LIKE '" + tag + "-%'";
        EXPECT_EQ(store->Query("SELECT device_name" + mine + " ORDER BY id"), expected);
        EXPECT_EQ(store->Scalar("SELECT count(DISTINCT statement_id)" + mine), "100");
        EXPECT_EQ(counters.executed, 100u);
        EXPECT_EQ(counters.rejected, 0u);
        EXPECT_EQ(counters.commits, c.commits);
        EXPECT_GE(counters.retried, 1u);
        ASSERT_FALSE(log.empty());
        EXPECT_NE(log.front().find("connection lost"), std::string::npos) << log.front();
        EXPECT_NE(log.front().find("terminating connection"), std::string::npos) << log.front();
    }
}

TEST_P(ServerGroupCommit, ConnectionsKilledFromOutsideWhileGroupsFlowLoseAndDoubleNothing) {
    StartService(Options(true, 64));
    ASSERT_TRUE(worker);
    const std::string database = store->Scalar("SELECT current_database()");
    std::atomic<int> pushed{0};
    std::atomic<bool> produce{true};
    std::thread producer([&] {
        for (int i = 0; produce; ++i) {
            queue.Push(
                db::MakeGpsFix("F" + std::to_string(i), {1, 2, 3, 4}, "", kT0 + milliseconds(i)));
            ++pushed;
            if (i % 40 == 39) {
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    // Kill the worker's connection whenever it has one, wherever it is:
    // inside a group, in its commit, or between groups.
    int kills = 0;
    for (int round = 0; round < 2000 && kills < 8; ++round) {
        // Materialised first, so that nothing but the worker's connection
        // is ever handed to pg_terminate_backend.
        const std::string killed = store->Scalar(
            "WITH w AS MATERIALIZED (SELECT pid FROM pg_stat_activity WHERE datname = '" +
            database +
            "' AND pid <> pg_backend_pid()) SELECT count(*) FROM w WHERE "
            "pg_terminate_backend(pid)");
        kills += killed == "<none>" ? 0 : std::atoi(killed.c_str());
        std::this_thread::sleep_for(10ms);
    }
    produce = false;
    producer.join();
    const auto c = Drain();
    EXPECT_GE(kills, 8);
    const auto total = static_cast<std::uint64_t>(pushed.load());
    EXPECT_EQ(c.executed, total);
    EXPECT_EQ(c.rejected + c.dropped + c.discarded, 0u);
    EXPECT_GE(c.retried, 1u);
    EXPECT_EQ(store->Query("SELECT count(*), count(DISTINCT statement_id) FROM gps_fixes"),
              (Rows{{std::to_string(total), std::to_string(total)}}));
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM (SELECT received_at < lag(received_at) OVER "
                            "(ORDER BY id) AS back FROM gps_fixes) s WHERE back"),
              "0");
}

TEST_P(ServerGroupCommit, AGroupRefusedAtItsCommitRunsAgainOneByOne) {
    // A check the database makes only at commit cannot name the statement;
    // run alone, each statement commits by itself and the culprit shows.
    ASSERT_TRUE(store->Exec(
        "CREATE FUNCTION test_refuse_late() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
        "RAISE EXCEPTION 'refused at commit' USING ERRCODE = 'check_violation'; END $$;"
        "CREATE CONSTRAINT TRIGGER test_late AFTER INSERT ON gps_fixes "
        "DEFERRABLE INITIALLY DEFERRED FOR EACH ROW WHEN (NEW.device_name = 'poison') "
        "EXECUTE FUNCTION test_refuse_late();"));
    Queue(Statements("late", "ggPgg"));
    StartService(Options());
    const auto c = Drain();
    EXPECT_EQ(store->Query("SELECT device_name FROM gps_fixes ORDER BY id"),
              HealthyNames("late", "ggPgg", 'g'));
    EXPECT_EQ(c.rejected, 1u);
    EXPECT_EQ(c.executed, 4u);
    EXPECT_EQ(c.commits, 4u);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].find("refused as a whole"), std::string::npos) << log[0];
    EXPECT_NE(log[1].find("refused at commit"), std::string::npos) << log[1];
}

INSTANTIATE_TEST_SUITE_P(Backends, ServerGroupCommit,
                         ::testing::Values(Kind::Postgresql, Kind::Odbc), dbtest::ParamName);

}  // namespace
