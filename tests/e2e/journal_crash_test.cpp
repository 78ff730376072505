// The statement journal against real crashes: the event server is killed
// (SIGKILL) with statements not yet in PostgreSQL, during an outage of the
// database and while it is up; started again, it stores every fix once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "db/journal_statement_record.h"
#include "testsupport/nmea/nmea_checksum.h"
#include "testsupport/pg/pg_test_server.h"
#include "testsupport/process/event_server_run.h"
#include "testsupport/process/sim_process.h"

namespace e2e {
namespace {

constexpr int kDevices = 5;
constexpr int kFixesEach = 300;
// Per device: its online event, the fix that comes with it, then its fixes.
constexpr std::size_t kStatements = kDevices * (2 + kFixesEach);

// A valid RMC sentence, different for every (device, n).
std::string Sentence(int device, int n) {
    char body[128];
    std::snprintf(body, sizeof body,
                  "GPRMC,%02d%02d%02d.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A", device,
                  n / 60, n % 60);
    return testnmea::withChecksum(std::string("$") + body);
}

std::string Script() {
    std::string script = "wait-login\n";
    for (int d = 0; d < kDevices; ++d) {
        script += "online D" + std::to_string(d) + " D" + std::to_string(d) + " 1\n";
    }
    for (int n = 0; n < kFixesEach; ++n) {
        for (int d = 0; d < kDevices; ++d) {
            script += "gps D" + std::to_string(d) + " " + Sentence(d, n) + "\n";
        }
    }
    return script;
}

struct JournalOnDisk {
    std::size_t statements = 0;  // statement records the files hold
    std::size_t waiting = 0;     // of them, those no done record covers
};

// What the journal's files hold (what reached the kernel).
JournalOnDisk ReadJournal(const std::string& home) {
    std::vector<std::uint64_t> seqs;
    std::uint64_t doneUpTo = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(home + "/journal", ec)) {
        std::ifstream in(e.path(), std::ios::binary);
        const std::string file((std::istreambuf_iterator<char>(in)), {});
        std::string_view rest(file);
        if (!rest.starts_with(db::journal::kSegmentMagic)) {
            continue;
        }
        rest.remove_prefix(db::journal::kSegmentMagic.size());
        db::journal::Record r;
        while (db::journal::ReadRecord(rest, r) == db::journal::ReadStatus::Ok) {
            if (r.type == db::journal::RecordType::Entry) {
                seqs.push_back(r.seq);
            } else {
                doneUpTo = std::max(doneUpTo, r.seq);
            }
            rest.remove_prefix(r.size);
        }
    }
    const auto waiting = std::count_if(seqs.begin(), seqs.end(),
                                       [&](std::uint64_t seq) { return seq > doneUpTo; });
    return {seqs.size(), static_cast<std::size_t>(waiting)};
}

template <typename F>
bool WaitFor(F condition, std::chrono::seconds limit = std::chrono::seconds(90)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

class JournalCrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        database = pgtest::TestDatabase::Create(error);
        if (!database) {
            GTEST_SKIP() << error;
        }
    }
    void TearDown() override {
        // A test that failed halfway must not leave the shared server down.
        pgtest::StartServer();
    }

    std::string Scalar(const std::string& sql) {
        const auto rows = database->Query(sql);
        return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "?";
    }

    // Killed once every statement has reached the journal's files; then the
    // database (if it was down) and the server come back, without devices.
    void Run(bool outage) {
        auto sim = std::make_unique<testsim::SimProcess>();
        EventServerRun server(sim->tcpPort(), RunSettings{.connectString = database->ConnInfo()});
        server.start();
        ASSERT_TRUE(server.waitForLog("service started")) << server.log();
        if (outage) {
            std::string error;
            ASSERT_TRUE(pgtest::HaltServer(&error)) << error;
        }
        sim->send(Script());
        ASSERT_TRUE(WaitFor([&] { return ReadJournal(server.home()).statements == kStatements; }))
            << ReadJournal(server.home()).statements << " of " << kStatements << "\n"
            << server.log();
        server.kill();
        sim.reset();  // the devices do not come back: only the journal has their fixes
        if (outage) {
            EXPECT_EQ(Scalar("SELECT count(*) FROM gps_fixes"), "?");  // the server is down
            std::string error;
            ASSERT_TRUE(pgtest::StartServer(&error)) << error;
        }

        server.start();
        ASSERT_TRUE(server.waitForLog("service started")) << server.log();
        const std::string fixes = std::to_string(kDevices * (1 + kFixesEach));
        EXPECT_TRUE(WaitFor([&] { return Scalar("SELECT count(*) FROM gps_fixes") == fixes; }))
            << Scalar("SELECT count(*) FROM gps_fixes") << " of " << fixes << "\n"
            << server.log();
        // The database may have taken every fix before the kill, the journal
        // not yet heard so: then the rows are all there at once, while the
        // statements still go through again (each changing nothing).
        EXPECT_TRUE(WaitFor([&] { return ReadJournal(server.home()).waiting == 0; }))
            << ReadJournal(server.home()).waiting << " waiting\n"
            << server.log();
        EXPECT_EQ(server.stop(), 0) << server.log();
        EXPECT_TRUE(server.log().find("waiting=0") != std::string::npos) << server.log();

        EXPECT_EQ(Scalar("SELECT count(*) FROM gps_fixes"), fixes) << "each fix once";
        EXPECT_EQ(Scalar("SELECT count(DISTINCT gps_info) FROM gps_fixes WHERE gps_info <> ''"),
                  std::to_string(kDevices * kFixesEach));
        EXPECT_EQ(Scalar("SELECT count(*) FROM device_events"), std::to_string(kDevices));
        // Each device's fixes were stored in the order they were sent.
        EXPECT_EQ(Scalar("SELECT count(*) FROM (SELECT gps_info < lag(gps_info) OVER "
                         "(PARTITION BY device_name ORDER BY id) AS back FROM gps_fixes "
                         "WHERE gps_info <> '') s WHERE back"),
                  "0");
    }

    std::unique_ptr<pgtest::TestDatabase> database;
};

TEST_F(JournalCrashTest, AKillDuringADatabaseOutageLosesNoFix) {
    Run(true);
}

TEST_F(JournalCrashTest, AKillWhileTheDatabaseTakesFixesNeitherLosesNorDoublesOne) {
    Run(false);
}

}  // namespace
}  // namespace e2e
