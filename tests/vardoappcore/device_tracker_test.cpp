#include "vardoappcore/device_tracker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vardoappcore/library_log.h"

namespace vardo {
namespace {

using protocol::Alarm;
using protocol::Event;
using protocol::Gps;
using protocol::Offline;
using protocol::Online;
using protocol::Pong;
using protocol::Synced;

struct Posted {
    WPARAM kind;
    std::string dev;
    bool operator==(const Posted&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Posted& p) {
    return os << std::hex << "0x" << p.kind << std::dec << " " << p.dev;
}

class DeviceTrackerTest : public ::testing::Test, public NotificationSink {
protected:
    void notify(WPARAM kind, HVARDODEV device) override {
        std::string id = "?";
        for (const char* name : {"a", "b", "c", "d"}) {
            if (tracker_.handleOf(name) == device) {
                id = name;
            }
        }
        posted_.push_back({kind, id});
    }

    std::vector<Posted> take() { return std::exchange(posted_, {}); }

    void feed(std::initializer_list<protocol::Message> messages) {
        for (const auto& m : messages) {
            tracker_.apply(m);
        }
    }

    static Online online(const char* dev, const char* gps = "") {
        return Online{dev, std::string("name-") + dev, "V", "D", 2, gps};
    }

    HandleTable table_;
    HVARDOAPP app_ = table_.addApp(nullptr);
    DeviceTracker tracker_{app_, table_, *this};
    std::vector<Posted> posted_;
};

TEST_F(DeviceTrackerTest, EventsOfOnlineDevicesBecomeNotificationsInOrder) {
    tracker_.beginSync();
    feed({online("a"), Synced{1}, online("b"), Gps{"a", "g1", {}, {}}, Alarm{"b", 0}, Alarm{"a", 7},
          Event{"a", 0xA2}, Offline{"a"}});
    EXPECT_EQ(take(), (std::vector<Posted>{{0x81, "a"},
                                           {0x81, "b"},
                                           {0x82, "a"},
                                           {0xA8, "b"},
                                           {0xAF, "a"},
                                           {0xA2, "a"},
                                           {0x83, "a"}}));
}

TEST_F(DeviceTrackerTest, EventsThatBreakTheOnlineBookkeepingAreIgnored) {
    tracker_.beginSync();
    feed({Synced{0}});
    const struct {
        protocol::Message message;
        std::vector<Posted> expected;
    } cases[] = {
        {Gps{"a", "g", {}, {}}, {}},            // never online
        {Offline{"a"}, {}},                     // never online
        {Alarm{"a", 1}, {}},                    // never online
        {online("a"), {{0x81, "a"}}},           //
        {online("a"), {}},                      // online twice, nothing new
        {online("a", "moved"), {{0x82, "a"}}},  // online again with news: a GPS update
        {Event{"a", 0x81}, {}},                 // kinds with messages of their own
        {Event{"a", 0x83}, {}},                 //
        {Event{"a", 0x84}, {{0x84, "a"}}},      // anything else passes unchanged
        {Offline{"a"}, {{0x83, "a"}}},          //
        {Offline{"a"}, {}},                     // offline twice
        {Gps{"a", "g", {}, {}}, {}},            // offline devices send nothing
        {Event{"a", 0xA0}, {}},                 //
        {online("a"), {{0x81, "a"}}},           // a new online period
    };
    std::size_t ignoredBefore = tracker_.ignoredEvents();
    for (const auto& c : cases) {
        tracker_.apply(c.message);
        EXPECT_EQ(take(), c.expected) << protocol::opName(c.message);
    }
    EXPECT_EQ(tracker_.ignoredEvents() - ignoredBefore, 8u);
}

TEST_F(DeviceTrackerTest, ANumberedFixOfADeviceNotOnlineHereBringsItOnlineAndIsKept) {
    tracker_.beginSync();
    feed({online("a"), Synced{1}, Offline{"a", 3}});
    take();
    // Sent again after a restart of the center, which lists neither: "a"
    // went offline here meanwhile, "b" was never heard of.
    feed({Gps{"a", "g4", {}, {}, 4}, Gps{"b", "g5", {}, {}, 5}, Gps{"a", "g6", {}, {}, 6}});
    EXPECT_EQ(take(), (std::vector<Posted>{
                          {0x81, "a"}, {0x82, "a"}, {0x81, "b"}, {0x82, "b"}, {0x82, "a"}}));
    EXPECT_EQ(table_.latestView(tracker_.handleOf("b")).value_or(DeviceView{}).gps, "g5");
    // An unnumbered one (a center that does not send again) still changes nothing.
    feed({Offline{"a", 7}});
    take();
    feed({Gps{"a", "g8", {}, {}}});
    EXPECT_TRUE(take().empty());
}

TEST_F(DeviceTrackerTest, AReconnectReportsOnlyWhatChanged) {
    tracker_.beginSync();
    feed({online("a", "ga"), online("b", "gb"), online("c", "gc"), Synced{3}});
    take();
    const HVARDODEV a = tracker_.handleOf("a");

    // Connection lost; meanwhile b went away, c moved and d came.
    tracker_.beginSync();
    feed({online("c", "gc2"), online("a", "ga"), online("d"), Synced{3}});
    EXPECT_EQ(take(), (std::vector<Posted>{{0x82, "c"}, {0x81, "d"}, {0x83, "b"}}));
    EXPECT_EQ(tracker_.handleOf("a"), a);  // handles live as long as the instance
}

TEST_F(DeviceTrackerTest, WithoutSyncedTheFirstOtherMessageEndsTheList) {
    tracker_.beginSync();
    feed({online("a"), online("b"), Pong{}});
    take();
    tracker_.beginSync();
    feed({online("a"), Pong{}, Pong{}});
    EXPECT_EQ(take(), (std::vector<Posted>{{0x83, "b"}}));
}

TEST_F(DeviceTrackerTest, EndingTheSessionReportsOfflineOnlyWhenAsked) {
    tracker_.beginSync();
    feed({online("a"), online("b"), Offline{"b"}});
    take();
    tracker_.endSession(false);
    EXPECT_TRUE(take().empty());

    tracker_.beginSync();
    feed({online("a"), online("b"), Synced{2}});
    EXPECT_EQ(take(), (std::vector<Posted>{{0x81, "a"}, {0x81, "b"}}));  // a fresh login
    tracker_.endSession(true);
    auto last = take();
    std::sort(last.begin(), last.end(), [](auto& x, auto& y) { return x.dev < y.dev; });
    EXPECT_EQ(last, (std::vector<Posted>{{0x83, "a"}, {0x83, "b"}}));
}

TEST_F(DeviceTrackerTest, GpsUpdatesCarryTheirOwnData) {
    tracker_.beginSync();
    feed({online("a", "g0"), Gps{"a", "g1", std::string("V1"), std::nullopt},
          Gps{"a", "g2", std::nullopt, std::string("D2")}});
    const HVARDODEV a = tracker_.handleOf("a");
    char buffer[64];
    const auto read = [&](int item) {
        buffer[0] = '\0';
        table_.readInfo(a, item, buffer, sizeof buffer);
        return std::string(buffer);
    };
    // Each notification's handler reads vehicle, driver, and the GPS text last.
    const auto handler = [&] {
        std::string seen = read(DEVINFO_VEHICLE_ID);
        seen += "/" + read(DEVINFO_DRIVER_NAME);
        return seen + "/" + read(DEVINFO_GPS);
    };
    EXPECT_EQ(handler(), "V/D/g0");
    EXPECT_EQ(handler(), "V1/D/g1");
    EXPECT_EQ(handler(), "V1/D2/g2");
    EXPECT_EQ(handler(), "V1/D2/g2");  // the newest stays
    EXPECT_EQ(read(DEVINFO_NAME), "name-a");
    // Read before the next update came: that update is what the next handler sees.
    feed({Gps{"a", "g3", {}, {}}});
    EXPECT_EQ(handler(), "V1/D2/g3");
}

// Each notification carries the center's time of its message, so event
// servers sharing a database order a device's state on one clock. An offline
// the library concludes itself is dated just after the newest time heard.
TEST_F(DeviceTrackerTest, NotificationsCarryTheCentersTimeOfTheirMessage) {
    const auto at = [](auto message, std::int64_t ms) {
        message.at = ms;
        return message;
    };
    tracker_.beginSync();
    feed({at(online("a", "g0"), 1000), at(Gps{"a", "g1", {}, {}}, 2000), online("b"),
          at(Offline{"a"}, 3000), Synced{2}});
    const HVARDODEV a = tracker_.handleOf("a");
    const HVARDODEV b = tracker_.handleOf("b");
    const auto time = [&](HVARDODEV dev, int item) {
        std::int64_t ms = -1;
        EXPECT_EQ(table_.readInfo(dev, item, &ms, sizeof ms), 1);
        return ms;
    };
    const auto finish = [&](HVARDODEV dev) {
        char gps[16];
        table_.readInfo(dev, DEVINFO_GPS, gps, sizeof gps);
    };
    EXPECT_EQ(time(a, DEVINFO_RECEIVED_AT), 1000);  // the online's handler
    finish(a);
    EXPECT_EQ(time(a, DEVINFO_RECEIVED_AT), 2000);  // the GPS's handler
    finish(a);
    EXPECT_EQ(time(a, DEVINFO_OFFLINE_AT), 3000);
    EXPECT_EQ(time(b, DEVINFO_RECEIVED_AT), 0);  // a center that does not say
    std::int64_t small = 0;
    EXPECT_EQ(table_.readInfo(a, DEVINFO_OFFLINE_AT, &small, 4), 0);  // too small a buffer

    // b vanished while the connection was away: offline just after the
    // newest time the center gave, so nothing it said earlier is undone.
    tracker_.beginSync();
    feed({at(online("a"), 5000), Synced{1}});
    EXPECT_EQ(time(b, DEVINFO_OFFLINE_AT), 5001);
    tracker_.endSession(true);
    EXPECT_EQ(time(a, DEVINFO_OFFLINE_AT), 5001);
}

TEST_F(DeviceTrackerTest, TextsAreKeptOnceAndNoLongerThanTheApiDelivers) {
    // 63 kB texts held twice per device pinned a gigabyte for 8,000 devices.
    const std::string huge(63 * 1024, 'x');
    const std::string wide = std::string(510, 'y') + "粤";  // the cut falls inside the character
    tracker_.beginSync();
    feed({Online{"a", huge, wide, huge, 4, huge}, Synced{1}});
    const HVARDODEV a = tracker_.handleOf("a");
    auto view = table_.latestView(a);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->name, std::string(kMaxDeviceTextBytes, 'x'));
    EXPECT_EQ(view->vehicle, std::string(510, 'y'));
    EXPECT_EQ(view->gps.size(), kMaxDeviceTextBytes);
    EXPECT_LE(view->name.capacity(), 2 * kMaxDeviceTextBytes);
    // What a 512-byte buffer gets is all there was to keep.
    char buffer[512];
    ASSERT_EQ(table_.readInfo(a, DEVINFO_NAME, buffer, sizeof buffer), 1);
    EXPECT_EQ(std::string(buffer), view->name);

    feed({Gps{"a", huge, huge, std::nullopt}});
    view = table_.latestView(a);
    EXPECT_EQ(view->gps.size(), kMaxDeviceTextBytes);
    EXPECT_EQ(view->vehicle.size(), kMaxDeviceTextBytes);
    EXPECT_EQ(view->driver.size(), kMaxDeviceTextBytes);
}

TEST_F(DeviceTrackerTest, IdentifiersLongerThanAnyDevicesAreRefused) {
    const std::string longId(DeviceTracker::kMaxDeviceIdBytes + 1, 'i');
    tracker_.beginSync();
    feed({Online{longId, "n", "", "", 1, ""}, Synced{0}, Gps{longId, "g", {}, {}}});
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(tracker_.ignoredEvents(), 2u);
    EXPECT_EQ(table_.deviceCount(), 0u);
    // The longest allowed one is a device like any other.
    feed({Online{longId.substr(1), "n", "", "", 1, ""}});
    EXPECT_EQ(take().size(), 1u);
}

// A window that stops reading a device's notifications loses its oldest
// fixes past the table's bound: never silently.
TEST_F(DeviceTrackerTest, FixesTheBoundDropsUnreadAreLoggedWithTheirCount) {
    std::vector<std::string> lines;
    setLogSink([&lines](std::string_view line) { lines.emplace_back(line); });
    tracker_.beginSync();
    feed({online("a"), Synced{0}});
    const int fixes = static_cast<int>(HandleTable::kMaxPendingViews) + 3;
    for (int i = 0; i < fixes; ++i) {
        tracker_.apply(Gps{"a", "g" + std::to_string(i), {}, {}});
    }
    setLogSink({});
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("device 'a': 1024 notifications unread, the oldest one's data "
                            "dropped; 1 lost so far"),
              std::string::npos)
        << lines[0];
    EXPECT_EQ(table_.droppedViews(), 4u);  // the online's view, then three fixes
}

TEST_F(DeviceTrackerTest, ForgottenDevicesComeBackWithNewHandles) {
    tracker_.beginSync();
    feed({online("a"), online("b"), Synced{2}, Offline{"a"}});
    const HVARDODEV before = tracker_.handleOf("a");
    const HVARDOCHN channel = table_.channel(before, 1);
    ASSERT_NE(channel, 0u);
    take();
    tracker_.endSession(false);
    tracker_.forgetDevices();
    EXPECT_EQ(table_.deviceCount(), 0u);
    EXPECT_EQ(tracker_.handleOf("a"), 0u);
    char buffer[16];
    EXPECT_EQ(table_.readInfo(before, DEVINFO_NAME, buffer, sizeof buffer), 0);
    EXPECT_FALSE(table_.channelRef(channel).has_value());

    tracker_.beginSync();
    feed({online("a"), Synced{1}});
    EXPECT_EQ(take(), (std::vector<Posted>{{0x81, "a"}}));
    const HVARDODEV after = tracker_.handleOf("a");
    EXPECT_NE(after, 0u);
    EXPECT_NE(after, before);  // handles are never reused
    EXPECT_NE(after, channel);
}

}  // namespace
}  // namespace vardo
