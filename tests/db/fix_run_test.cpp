// Runs of fixes inside a group: whatever way a backend sends them (call by
// call, or a whole run in one call), the rows and the applied counts are
// those of the statements run one by one.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "tests/db/worker_fixture.h"

namespace {

using namespace std::chrono;
using dbtest::BackendTest;
using dbtest::Kind;
using dbtest::Rows;

const auto kRunT0 = sys_days{2026y / December / 9} + 8h;

// The devices and fixes whose names start with `prefix`, the prefix cut off.
Rows DevicesOf(dbtest::TestStore& store, const std::string& prefix) {
    return store.Query("SELECT substr(device_name, " + std::to_string(prefix.size() + 1) +
                       "), online, latitude, longitude, speed, course, gps_info, " +
                       store.TimeText("last_fix_at") + " FROM devices WHERE device_name LIKE '" +
                       prefix + "%' ORDER BY device_name");
}

Rows FixesOf(dbtest::TestStore& store, const std::string& prefix) {
    return store.Query("SELECT substr(device_name, " + std::to_string(prefix.size() + 1) +
                       "), latitude, longitude, speed, gps_info, " + store.TimeText("received_at") +
                       " FROM gps_fixes WHERE device_name LIKE '" + prefix + "%' ORDER BY id");
}

// A mixed stream of fixes (with and without a sentence, several at one
// received time, some sent twice under one id) and now and then an event,
// once for each prefix with the same ids' pattern.
struct Stream {
    std::vector<db::SqlCommand> statements;
};

Stream MakeStream(const std::string& prefix, unsigned seed, int count) {
    std::mt19937 random(seed);
    Stream s;
    for (int i = 0; i < count; ++i) {
        const int pick = static_cast<int>(random() % 100);
        if (pick < 8 && !s.statements.empty()) {
            // Sent again: the same statement, id and all, a little later.
            const std::size_t back = random() % std::min<std::size_t>(s.statements.size(), 20);
            s.statements.push_back(s.statements[s.statements.size() - 1 - back]);
            continue;
        }
        const std::string name = prefix + "d" + std::to_string(random() % 5);
        // Times step back and forth, often the very same millisecond.
        const auto at = kRunT0 + seconds(static_cast<int>(random() % 30));
        if (pick < 14) {
            s.statements.push_back(db::MakeOnlineEvent(name, at));
        } else if (pick < 35) {
            s.statements.push_back(db::MakeGpsFix(name, {0, 0, 0, 0}, "", at));
        } else if (pick < 40) {
            // Without an id, as a statement typed by hand.
            s.statements.push_back(db::MakeGpsFix(name, {i * 0.5, -i * 0.25, 7, 8}, "$GPRMC,noid",
                                                  at, db::StatementId()));
        } else {
            s.statements.push_back(
                db::MakeGpsFix(name, {i * 0.001, i * 0.002, static_cast<double>(i), 90},
                               "$GPRMC," + std::to_string(i), at));
        }
    }
    return s;
}

TEST_P(BackendTest, RunsOfFixesInGroupsStoreWhatTheSameStatementsStoreOneByOne) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    constexpr int kCount = 600;
    const Stream alone = MakeStream("a-", 99, kCount);
    const Stream grouped = MakeStream("g-", 99, kCount);

    std::size_t appliedAlone = 0;
    for (const auto& s : alone.statements) {
        const db::ExecResult r = conn->ExecuteCommand(s);
        ASSERT_TRUE(r.ran()) << r.error;
        appliedAlone += r.applied() ? 1 : 0;
    }
    // Groups of every size, a statement sent again often in the same group
    // as its first sending, sometimes in a later one.
    std::mt19937 random(7);
    std::size_t appliedGrouped = 0;
    for (std::size_t at = 0; at < grouped.statements.size();) {
        const std::size_t size =
            std::min<std::size_t>(1 + random() % 40, grouped.statements.size() - at);
        const std::span<const db::SqlCommand> group(grouped.statements.data() + at, size);
        const db::GroupResult r = conn->ExecuteGroup(group);
        ASSERT_TRUE(r.committed()) << r.result.error;
        appliedGrouped += r.applied;
        at += size;
    }
    EXPECT_LT(appliedAlone, static_cast<std::size_t>(kCount)) << "some were sent twice";
    EXPECT_EQ(appliedGrouped, appliedAlone);
    EXPECT_EQ(FixesOf(*store, "g-"), FixesOf(*store, "a-"));
    EXPECT_EQ(DevicesOf(*store, "g-"), DevicesOf(*store, "a-"));
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM devices WHERE device_name LIKE 'g-%'"), "5");
}

TEST_P(BackendTest, AppliedCountsTellKnownIdsInsideAGroupAndAcrossGroups) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    const auto f1 = db::MakeGpsFix("K1", {1, 1, 1, 1}, "$GPRMC,1", kRunT0);
    const auto f2 = db::MakeGpsFix("K1", {2, 2, 2, 2}, "$GPRMC,2", kRunT0 + 1s);
    const auto f3 = db::MakeGpsFix("K2", {0, 0, 0, 0}, "", kRunT0 + 2s);
    const auto f4 = db::MakeGpsFix("K2", {4, 4, 4, 4}, "$GPRMC,4", kRunT0 + 3s);
    const auto noId = db::MakeGpsFix("K3", {5, 5, 5, 5}, "$GPRMC,5", kRunT0, db::StatementId());

    const std::vector<db::SqlCommand> first{f1, f2, f1, f3, noId, noId, f2};
    const db::GroupResult a = conn->ExecuteGroup(first);
    ASSERT_TRUE(a.committed()) << a.result.error;
    EXPECT_EQ(a.applied, 5u) << "f1, f2, f3 and both statements without an id";

    const std::vector<db::SqlCommand> second{f3, f4, f1, f4};
    const db::GroupResult b = conn->ExecuteGroup(second);
    ASSERT_TRUE(b.committed()) << b.result.error;
    EXPECT_EQ(b.applied, 1u) << "only f4 is new";

    const db::GroupResult c = conn->ExecuteGroup(first);
    ASSERT_TRUE(c.committed()) << c.result.error;
    EXPECT_EQ(c.applied, 2u) << "only the statements without an id";

    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"), "8");
    EXPECT_EQ(store->Query("SELECT device_name, speed, gps_info FROM devices "
                           "ORDER BY device_name"),
              (Rows{{"K1", "2", "$GPRMC,2"}, {"K2", "4", "$GPRMC,4"}, {"K3", "5", "$GPRMC,5"}}));
}

TEST_P(BackendTest, FixesWithoutASentenceInARunKeepNoCoordinatesAndNoPosition) {
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    const std::vector<db::SqlCommand> group{
        db::MakeGpsFix("N1", {9, 9, 0, 0}, "", kRunT0),  // a device first seen without one
        db::MakeGpsFix("N1", {0, 0, 0, 0}, "", kRunT0 + 1s),
        db::MakeGpsFix("N2", {0, 0, 0, 0}, "", kRunT0 + 2s),
        db::MakeGpsFix("N2", {25.5, 121.5, 10, 20}, "$GPRMC,real", kRunT0 + 1s),
        db::MakeGpsFix("N2", {0, 0, 0, 0}, "", kRunT0 + 3s),
    };
    const db::GroupResult r = conn->ExecuteGroup(group);
    ASSERT_TRUE(r.committed()) << r.result.error;
    EXPECT_EQ(r.applied, group.size());
    EXPECT_EQ(store->Query("SELECT device_name, latitude, longitude, speed, gps_info, " +
                           store->TimeText("last_fix_at") + " FROM devices ORDER BY device_name"),
              (Rows{{"N1", "<null>", "<null>", "<null>", "<null>", "<null>"},
                    {"N2", "25.5", "121.5", "10", "$GPRMC,real", "2026-12-09 08:00:01.000"}}));
    EXPECT_EQ(store->Query("SELECT device_name, latitude, longitude FROM gps_fixes ORDER BY id"),
              (Rows{{"N1", "<null>", "<null>"},
                    {"N1", "<null>", "<null>"},
                    {"N2", "<null>", "<null>"},
                    {"N2", "25.5", "121.5"},
                    {"N2", "<null>", "<null>"}}));
}

// --- PostgreSQL: a database whose schema is older than the set-based call ---

class OlderSchema : public dbtest::WorkerFixture {};

TEST_P(OlderSchema, ADatabaseWithoutTheRunCallStoresCallByCallAndSaysSoOnce) {
    ASSERT_TRUE(store->Exec("DROP FUNCTION gps_add_group"));
    ASSERT_TRUE(store->InstallRejection("poison"));
    ASSERT_TRUE(OpenConn()) << conn->LastError();
    EXPECT_NE(conn->OpenNotice().find("gps_add_group"), std::string::npos) << conn->OpenNotice();

    std::vector<db::SqlCommand> group;
    for (int i = 0; i < 6; ++i) {
        group.push_back(db::MakeGpsFix(i == 4 ? "poison" : "O" + std::to_string(i), {1, 2, 3, 4},
                                       "$GPRMC", kRunT0 + seconds(i)));
    }
    const db::GroupResult refused = conn->ExecuteGroup(group);
    EXPECT_EQ(refused.result.status, db::ExecStatus::Rejected);
    EXPECT_EQ(refused.failedAt, 4u);
    group.erase(group.begin() + 4);
    const db::GroupResult r = conn->ExecuteGroup(group);
    ASSERT_TRUE(r.committed()) << r.result.error;
    EXPECT_EQ(r.applied, 5u);
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"), "5");

    // The worker says it once, though it connects again.
    conn->Close();
    StartService(dbtest::FastRetries());
    for (const auto& s : group) {
        queue.Push(s);
    }
    ASSERT_TRUE(dbtest::WaitUntil([&] { return worker->Counters().pending == 0; }));
    ASSERT_TRUE(store->KillOtherSessions());
    queue.Push(db::MakeGpsFix("after", {1, 2, 3, 4}, "$GPRMC", kRunT0));
    ASSERT_TRUE(dbtest::WaitUntil([&] {
        return store->Scalar("SELECT count(*) FROM gps_fixes WHERE device_name = 'after'") == "1";
    }));
    StopService();
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"), "6");
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& line) {
                                return line.find("gps_add_group") != std::string::npos;
                            }),
              1)
        << ::testing::PrintToString(log);
}

INSTANTIATE_TEST_SUITE_P(Backends, OlderSchema, ::testing::Values(Kind::Postgresql),
                         dbtest::ParamName);

}  // namespace
