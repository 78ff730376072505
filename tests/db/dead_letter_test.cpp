// A statement the database always times out on: set aside after the set
// number of attempts, kept with its error beside the journal, and the
// statements after it go on; a replay brings it back through the journal.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "db/command_queue.h"
#include "db/db_worker.h"
#include "db/dead_letters.h"
#include "db/statement_journal.h"
#include "tests/db/test_store.h"
#include "testsupport/pg/pg_test_server.h"

namespace {

using dbtest::Rows;
using dbtest::WaitUntil;

std::unique_ptr<pgtest::TestDatabase> PoisonedDatabase() {
    std::string why;
    auto db = pgtest::TestDatabase::Create(why);
    if (!db) {
        return nullptr;
    }
    // Every fix of the device POISON runs past the statement time-out.
    const bool made = db->Exec(
        "CREATE FUNCTION poison() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
        "IF NEW.device_name = 'POISON' THEN PERFORM pg_sleep(5); END IF; RETURN NEW; END $$;"
        "CREATE TRIGGER poison BEFORE INSERT ON gps_fixes FOR EACH ROW EXECUTE FUNCTION "
        "poison();");
    return made ? std::move(db) : nullptr;
}

TEST(DeadLetters, AStatementThatAlwaysTimesOutIsSetAsideAndTheRestGoOn) {
    auto db = PoisonedDatabase();
    if (!db) {
        if (std::getenv("VARDO_TEST_PG_DIR") == nullptr) {
            GTEST_SKIP() << "no test PostgreSQL server";
        }
        FAIL() << "cannot make the test database";
    }
    dbtest::TempDir dir;
    const auto journalDir = dir.path() / "journal";
    const std::string cs = db->ConnInfo() + " options='-c statement_timeout=200'";

    db::CDeadLetters deadLetters(journalDir);
    CMyDbConnection conn;
    CMyCommandQueue queue;
    db::WorkerOptions options;
    options.firstBackoff = std::chrono::milliseconds(10);
    options.maxBackoff = std::chrono::milliseconds(20);
    options.statementAttempts = 3;
    CDbWorker worker(queue, conn, cs, options);
    std::vector<std::string> log;
    worker.SetLogSink([&](const std::string& line) { log.push_back(line); });
    worker.SetDeadLetterSink([&](const db::SqlCommand& c, const std::string& e, std::string& why) {
        return deadLetters.Add(c, e, why);
    });
    ASSERT_TRUE(conn.Open(cs, 5)) << conn.LastError();
    for (int i = 0; i < 20; ++i) {
        queue.Push(
            db::MakeGpsFix(i == 3 ? "POISON" : "D" + std::to_string(i), {1, 2, 3, 4}, "$GPRMC,x"));
    }
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(
        WaitUntil([&] { return worker.Counters().executed == 19; }, std::chrono::seconds(60)));
    worker.Stop(10000);
    conn.Close();
    EXPECT_EQ(worker.Counters().setAside, 1u);
    EXPECT_EQ(queue.Pending(), 0u);
    EXPECT_EQ(db->Query("SELECT count(*) FROM gps_fixes WHERE device_name <> 'POISON'"),
              (Rows{{"19"}}));
    EXPECT_NE(std::find_if(log.begin(), log.end(),
                           [](const std::string& l) {
                               return l.find("SET ASIDE after 3 attempts") != std::string::npos &&
                                      l.find("POISON") != std::string::npos;
                           }),
              log.end());
    {
        std::ifstream lines(journalDir / "dead-letters.txt");
        const std::string text(std::istreambuf_iterator<char>(lines), {});
        EXPECT_NE(text.find("statement timeout"), std::string::npos) << text;
        EXPECT_NE(text.find("POISON"), std::string::npos) << text;
    }

    // The cause mended, the statement replayed: it lands, once.
    ASSERT_TRUE(db->Exec("DROP TRIGGER poison ON gps_fixes"));
    std::string error;
    db::JournalOptions jo;
    jo.dir = journalDir;
    auto journal = db::CStatementJournal::Open(jo, nullptr, error);
    ASSERT_TRUE(journal) << error;
    std::uint64_t moved = 0;
    ASSERT_TRUE(db::CDeadLetters::Replay(journalDir, *journal, moved, error)) << error;
    EXPECT_EQ(moved, 1u);
    EXPECT_FALSE(std::filesystem::exists(journalDir / "dead-letters.jnl"));
    std::uint64_t again = 0;
    ASSERT_TRUE(db::CDeadLetters::Replay(journalDir, *journal, again, error)) << error;
    EXPECT_EQ(again, 0u);
    queue.AttachJournal(std::move(journal));
    ASSERT_TRUE(conn.Open(cs, 5)) << conn.LastError();
    ASSERT_TRUE(worker.Start());
    ASSERT_TRUE(WaitUntil([&] { return worker.Counters().executed == 20; }));
    worker.Stop(10000);
    conn.Close();
    EXPECT_EQ(db->Query("SELECT count(*) FROM gps_fixes WHERE device_name = 'POISON'"),
              (Rows{{"1"}}));
    EXPECT_EQ(queue.Clear(), 0u);
}

}  // namespace
