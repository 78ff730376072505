#include "vardoappcore/handle_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace vardo {
namespace {

class HandleTableTest : public ::testing::Test {
protected:
    HVARDODEV device(const std::string& name, std::int32_t channels = 2,
                     const std::string& gps = "") {
        return table_.addDevice(app_, "id-" + name, DeviceView{name, "veh", "drv", gps, channels});
    }

    HandleTable table_;
    HVARDOAPP app_ = table_.addApp(nullptr);
};

TEST_F(HandleTableTest, TextIsCutToTheBufferAtACharacterBoundaryAndTerminated) {
    // "Bus 张伟" is 3 + 1 + 3 + 3 = 10 bytes.
    const HVARDODEV d = device("Bus \xE5\xBC\xA0\xE4\xBC\x9F");
    const struct {
        int size;
        const char* expected;
    } cases[] = {
        {1, ""},
        {4, "Bus"},
        {5, "Bus "},
        {6, "Bus "},  // half of 张 is left out
        {7, "Bus "},
        {8, "Bus \xE5\xBC\xA0"},
        {10, "Bus \xE5\xBC\xA0"},
        {11, "Bus \xE5\xBC\xA0\xE4\xBC\x9F"},
        {512, "Bus \xE5\xBC\xA0\xE4\xBC\x9F"},
    };
    for (const auto& c : cases) {
        char buffer[513];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(table_.readInfo(d, DEVINFO_NAME, buffer, c.size), 1) << c.size;
        EXPECT_STREQ(buffer, c.expected) << c.size;
        EXPECT_EQ(buffer[c.size], '#') << "wrote past the buffer of " << c.size;
    }
}

TEST_F(HandleTableTest, TheChannelCountIsA32BitInteger) {
    const HVARDODEV d = device("X7", 3);
    std::int32_t channels = 0;
    EXPECT_EQ(table_.readInfo(d, DEVINFO_CHANNEL, &channels, sizeof channels), 1);
    EXPECT_EQ(channels, 3);
    char small[3] = {'#', '#', '#'};
    EXPECT_EQ(table_.readInfo(d, DEVINFO_CHANNEL, small, sizeof small), 0);
    EXPECT_EQ(small[0], '#');
}

TEST_F(HandleTableTest, UnknownDevicesItemsAndBuffersLeaveTheBufferAlone) {
    const HVARDODEV d = device("X7");
    const struct {
        HVARDODEV device;
        int item;
        int size;
    } cases[] = {
        {0, DEVINFO_NAME, 16}, {d + 1000, DEVINFO_NAME, 16}, {d, 4, 16}, {d, 5, 16}, {d, -1, 16},
        {d, DEVINFO_NAME, 0},  {d, DEVINFO_NAME, -5},
    };
    for (const auto& c : cases) {
        char buffer[16] = "untouched";
        EXPECT_EQ(table_.readInfo(c.device, c.item, buffer, c.size), 0) << c.item;
        EXPECT_STREQ(buffer, "untouched");
    }
    EXPECT_EQ(table_.readInfo(d, DEVINFO_NAME, nullptr, 16), 0);
}

TEST_F(HandleTableTest, UnreadViewsAreKeptInOrderAndBounded) {
    const HVARDODEV d = device("X7", 1, "g0");
    for (int i = 1; i <= static_cast<int>(HandleTable::kMaxPendingViews) + 10; ++i) {
        table_.pushView(d, DeviceView{"X7", "", "", "g" + std::to_string(i), 1});
    }
    char buffer[32];
    table_.readInfo(d, DEVINFO_GPS, buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "g11");  // g0 to g10 fell off the front
    EXPECT_EQ(table_.droppedViews(), 11u);
}

TEST_F(HandleTableTest, UserDataLivesWithTheDevice) {
    const HVARDODEV a = device("a");
    const HVARDODEV b = device("b");
    EXPECT_EQ(table_.userData(a), 0u);
    EXPECT_TRUE(table_.setUserData(a, 17));
    EXPECT_TRUE(table_.setUserData(b, 0xFFFFFFFF));
    EXPECT_EQ(table_.userData(a), 17u);
    EXPECT_EQ(table_.userData(b), 0xFFFFFFFFu);
    EXPECT_FALSE(table_.setUserData(0, 1));
    EXPECT_EQ(table_.userData(0), 0u);
}

TEST_F(HandleTableTest, ChannelsExistUpToTheDevicesCount) {
    const HVARDODEV d = device("X7", 2);
    const HVARDOCHN one = table_.channel(d, 1);
    EXPECT_NE(one, 0u);
    EXPECT_EQ(table_.channel(d, 1), one);  // asked again: the same channel
    EXPECT_NE(table_.channel(d, 2), 0u);
    EXPECT_EQ(table_.channel(d, 3), 0u);
    EXPECT_EQ(table_.channel(d, 0), 0u);
    EXPECT_EQ(table_.channel(d, 5), 0u);
    EXPECT_EQ(table_.channel(0, 1), 0u);
    const auto ref = table_.channelRef(one);
    ASSERT_TRUE(ref.has_value());
    EXPECT_EQ(ref->deviceId, "id-X7");
    EXPECT_EQ(ref->number, 1);
    EXPECT_FALSE(table_.channelRef(d).has_value());  // a device handle is not a channel
}

TEST_F(HandleTableTest, HandlesAreUniqueAcrossKindsAndInstancesAndNeverReused) {
    std::set<std::uint32_t> seen = {app_};
    const HVARDODEV a = device("a");
    const HVARDOAPP other = table_.addApp(nullptr);
    const HVARDODEV b = table_.addDevice(other, "id-b", {});
    for (std::uint32_t h : {a, other, b, table_.channel(a, 1)}) {
        EXPECT_NE(h, 0u);
        EXPECT_TRUE(seen.insert(h).second) << h;
    }
    table_.removeApp(other);
    char buffer[8];
    EXPECT_EQ(table_.readInfo(b, DEVINFO_NAME, buffer, sizeof buffer), 0);
    const HVARDOAPP third = table_.addApp(nullptr);
    EXPECT_TRUE(seen.insert(third).second);
    EXPECT_EQ(table_.addDevice(other, "late", {}), 0u);  // the instance is gone
}

// A handler reads one device while fixes for others are stored between its
// reads: each read answers for the device asked, each store goes to its own.
TEST_F(HandleTableTest, ReadsAndStoresOfDifferentDevicesInterleaved) {
    const HVARDODEV a = device("a", 1, "ga0");
    const HVARDODEV b = device("b", 1, "gb0");
    char buffer[16];
    for (int i = 1; i <= 3; ++i) {
        const std::string ga = "ga" + std::to_string(i);
        const std::string gb = "gb" + std::to_string(i);
        table_.pushFix(a, ga, i, std::nullopt, std::nullopt, VARDO_EVENT_NUMBER{1, 2u * i, 0});
        EXPECT_EQ(table_.readInfo(b, DEVINFO_NAME, buffer, sizeof buffer), 1);
        EXPECT_STREQ(buffer, "b");
        table_.pushFix(b, gb, i, std::nullopt, std::nullopt, VARDO_EVENT_NUMBER{1, 2u * i + 1, 0});
        EXPECT_EQ(table_.readInfo(a, DEVINFO_NAME, buffer, sizeof buffer), 1);
        EXPECT_STREQ(buffer, "a");
        EXPECT_TRUE(table_.setUserData(a, 100u + i));
        table_.pushFix(b, gb + "x", i, std::nullopt, std::nullopt, VARDO_EVENT_NUMBER{});
        EXPECT_EQ(table_.userData(a), 100u + i);
        EXPECT_EQ(table_.userData(b), 0u);
        EXPECT_EQ(table_.latestView(a)->gps, ga);
        EXPECT_EQ(table_.latestView(b)->gps, gb + "x");
    }
    // Views and numbers went to their own device, in order.
    for (const char* expected : {"ga0", "ga1", "ga2", "ga3"}) {
        EXPECT_EQ(table_.readInfo(a, DEVINFO_GPS, buffer, sizeof buffer), 1);
        EXPECT_STREQ(buffer, expected);
    }
    VARDO_EVENT_NUMBER number{};
    for (std::uint64_t seq : {2u, 4u, 6u}) {
        ASSERT_TRUE(table_.takeNumber(a, number));
        EXPECT_EQ(number.seq, seq);
    }
    ASSERT_TRUE(table_.takeNumber(a, number));
    EXPECT_EQ(number.seq, 0u);
}

TEST_F(HandleTableTest, ADeviceJustReadIsGoneOnceForgottenOrItsInstanceRemoved) {
    // Each device is asked for right before it goes: nothing may answer for
    // it afterwards.
    const HVARDODEV a = device("a");
    const HVARDOAPP other = table_.addApp(nullptr);
    const HVARDODEV b = table_.addDevice(other, "id-b", DeviceView{"b", "", "", "", 1});
    char buffer[8];
    EXPECT_EQ(table_.readInfo(a, DEVINFO_NAME, buffer, sizeof buffer), 1);
    const VARDO_EVENT_NUMBER first{1, 1, 0};
    table_.pushFix(a, "g", 1, std::nullopt, std::nullopt, first);  // written just before too
    table_.forgetDevices(app_);
    EXPECT_EQ(table_.readInfo(a, DEVINFO_NAME, buffer, sizeof buffer), 0);
    EXPECT_FALSE(table_.setUserData(a, 7));
    EXPECT_FALSE(table_.latestView(a).has_value());
    table_.pushFix(a, "g", 2, std::nullopt, std::nullopt, first);  // no effect, no fault
    EXPECT_EQ(table_.readInfo(b, DEVINFO_NAME, buffer, sizeof buffer), 1);
    EXPECT_STREQ(buffer, "b");

    EXPECT_TRUE(table_.setUserData(b, 9));
    table_.removeApp(other);
    EXPECT_EQ(table_.userData(b), 0u);
    EXPECT_EQ(table_.channel(b, 1), 0u);
    VARDO_EVENT_NUMBER number{};
    EXPECT_FALSE(table_.takeNumber(b, number));
    table_.pushFix(b, "g", 1, std::nullopt, std::nullopt, number);  // no effect, no fault
    EXPECT_EQ(table_.deviceCount(), 0u);
}

}  // namespace
}  // namespace vardo
