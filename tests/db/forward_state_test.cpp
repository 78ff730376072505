// Several event servers write one database, each statement dated by when it
// was received: the devices row follows the newest time, whatever the order
// of arrival between the writers.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "tests/db/backend_fixture.h"

namespace {

using namespace std::chrono;
using dbtest::BackendTest;
using dbtest::Rows;

constexpr int kDevices = 12;
constexpr int kSteps = 40;  // per device: online, fix, offline, fix, ...

const db::Clock::time_point kStart = sys_days{year{2026} / March / 10} + hours(9);

struct Expected {
    int online = 0;
    std::string lastEventAt;
    double latitude = 0;
};

// Run over every backend (instantiated with the suite).
TEST_P(BackendTest, TwoWritersWithShuffledArrivalLeaveEachDeviceAtItsNewestState) {
    // Each device's history, in received time: 1 s apart.
    std::vector<db::SqlCommand> all;
    std::vector<Expected> expected(kDevices);
    for (int d = 0; d < kDevices; ++d) {
        const std::string name = "dev" + std::to_string(d);
        for (int k = 0; k < kSteps; ++k) {
            const auto at = kStart + seconds(k) + milliseconds(d);
            if (k % 2 == 1) {
                const double lat = 20.0 + d + k / 1000.0;
                all.push_back(db::MakeGpsFix(name, {lat, 120.5, 30, 90}, "$GPRMC,x", at));
                expected[d].latitude = lat;
            } else {
                // The last event of half of the devices is an online, of
                // the other half an offline.
                const bool online = (k / 2 + d) % 2 == 0;
                all.push_back(online ? db::MakeOnlineEvent(name, at)
                                     : db::MakeOfflineEvent(name, at));
                expected[d].online = online ? 1 : 0;
                expected[d].lastEventAt = db::FormatUtcMillis(at);
            }
        }
    }
    // Dealt at random to two writers, each of which gets them in a random
    // order: late events and fixes arrive after newer ones all the time.
    std::mt19937 random(2718);
    std::shuffle(all.begin(), all.end(), random);
    const auto half = all.begin() + static_cast<std::ptrdiff_t>(all.size() / 2);
    const std::vector<db::SqlCommand> first(all.begin(), half);
    const std::vector<db::SqlCommand> second(half, all.end());

    std::vector<std::string> failures(2);
    auto write = [&](const std::vector<db::SqlCommand>& statements, std::string& failure) {
        CMyDbConnection conn(store->BaseDir());
        if (!conn.Open(store->ConnectionString(), 30)) {
            failure = conn.LastError();
            return;
        }
        // In groups of 1 to 16, as a worker commits them: runs of fixes
        // go to the database together.
        std::mt19937 sizes(statements.size());
        for (std::size_t at = 0; at < statements.size();) {
            const std::size_t size =
                std::min<std::size_t>(1 + sizes() % 16, statements.size() - at);
            const std::span<const db::SqlCommand> group(statements.data() + at, size);
            db::GroupResult r;
            do {  // SQLite's writers take turns, PostgreSQL's may deadlock: tried again
                r = conn.ExecuteGroup(group);
            } while (r.result.status == db::ExecStatus::Transient);
            if (!r.committed() || r.applied != size) {
                failure = "not applied: " + group.front().text() + "...: " + r.result.error;
                return;
            }
            at += size;
        }
    };
    std::thread a(write, std::cref(first), std::ref(failures[0]));
    std::thread b(write, std::cref(second), std::ref(failures[1]));
    a.join();
    b.join();
    ASSERT_EQ(failures[0], "");
    ASSERT_EQ(failures[1], "");

    // Nothing was lost on the way, and each row shows the newest state.
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM device_events"),
              std::to_string(kDevices * kSteps / 2));
    EXPECT_EQ(store->Scalar("SELECT count(*) FROM gps_fixes"),
              std::to_string(kDevices * kSteps / 2));
    for (int d = 0; d < kDevices; ++d) {
        const std::string name = "dev" + std::to_string(d);
        const Rows rows =
            store->Query("SELECT online, " + store->TimeText("last_event_at") +
                         ", latitude FROM devices WHERE device_name = '" + name + "'");
        ASSERT_EQ(rows.size(), 1u) << name;
        EXPECT_EQ(rows[0][0], std::to_string(expected[d].online)) << name;
        EXPECT_EQ(rows[0][1], expected[d].lastEventAt) << name;
        EXPECT_NEAR(std::stod(rows[0][2]), expected[d].latitude, 1e-9) << name;
    }
}

}  // namespace
