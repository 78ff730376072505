// The scripted device library keeps the promises of the library's header,
// so that what the dialog's tests show holds for the real library too.

#include "testsupport/scripted_device/scripted_device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

struct Posted {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

class RecordingTarget final : public vardo::MessageTarget {
public:
    void PostMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        posted.push_back({message, wParam, lParam});
    }
    std::vector<Posted> posted;
};

class ScriptedDevice : public ::testing::Test {
protected:
    void SetUp() override { scripted::Reset(); }
    RecordingTarget window;
};

TEST_F(ScriptedDevice, TextItemsAreCutToTheBufferAndAlwaysTerminated) {
    const auto dev = scripted::AddDevice({.name = "X7-LONG-NAME"});
    struct Case {
        int size;
        int result;
        const char* text;
    };
    const Case cases[] = {
        {64, 1, "X7-LONG-NAME"}, {13, 1, "X7-LONG-NAME"}, {5, 1, "X7-L"}, {1, 1, ""}};
    for (const auto& c : cases) {
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(MyVardoDev_GetDevInfo(dev, DEVINFO_NAME, buffer, c.size), c.result) << c.size;
        EXPECT_STREQ(buffer, c.text) << c.size;
    }
}

TEST_F(ScriptedDevice, UnknownDevicesAndItemsLeaveTheBufferAlone) {
    const auto dev = scripted::AddDevice({.name = "X7"});
    scripted::ForgetInfo(dev, DEVINFO_GPS);
    char buffer[8] = "keep";
    std::int32_t channels = -1;
    EXPECT_EQ(MyVardoDev_GetDevInfo(dev + 1000, DEVINFO_NAME, buffer, sizeof buffer), 0);
    EXPECT_EQ(MyVardoDev_GetDevInfo(dev, 42, buffer, sizeof buffer), 0);
    EXPECT_EQ(MyVardoDev_GetDevInfo(dev, DEVINFO_GPS, buffer, sizeof buffer), 0);
    EXPECT_EQ(MyVardoDev_GetDevInfo(dev, DEVINFO_NAME, buffer, 0), 0);
    EXPECT_EQ(MyVardoDev_GetDevInfo(dev, DEVINFO_CHANNEL, &channels, 2), 0);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(channels, -1);
    EXPECT_EQ(MyVardoDev_GetDevInfo(dev, DEVINFO_CHANNEL, &channels, 4), 1);
    EXPECT_EQ(channels, 4);
}

TEST_F(ScriptedDevice, NotificationsReachTheWindowOfTheInstance) {
    const auto app = MyVardoApp_Construct(&window, WM_DEVICE_NOTIFY);
    ASSERT_NE(app, 0u);
    const auto dev = scripted::AddDevice({.name = "X7"});
    EXPECT_TRUE(scripted::Notify(NOTIFY_DEVICE_GPS, dev));
    ASSERT_EQ(window.posted.size(), 1u);
    EXPECT_EQ(window.posted[0].message, WM_DEVICE_NOTIFY);
    EXPECT_EQ(window.posted[0].wParam, NOTIFY_DEVICE_GPS);
    EXPECT_EQ(window.posted[0].lParam, static_cast<LPARAM>(dev));
    MyVardoApp_Destruct(app);
    EXPECT_FALSE(scripted::Notify(app, NOTIFY_DEVICE_GPS, dev));
    EXPECT_EQ(window.posted.size(), 1u);
}

TEST_F(ScriptedDevice, LoginOutcomesDecideActivityAndLogoutEndsRecordings) {
    const auto app = MyVardoApp_Construct(&window, WM_DEVICE_NOTIFY);
    const auto dev = scripted::AddDevice({.name = "X7"});
    const auto chn = MyVardoDev_CreateChannel(dev, 1, &window);
    MyVardoChn_RecordStart(chn, "EventRecord/a.avi", 0);
    EXPECT_EQ(MyVardoChn_IsRecording(chn), 1);

    scripted::SetLoginOutcome(scripted::LoginOutcome::Pending);
    MyVardoApp_Login(app, "root", "kiwa");
    EXPECT_EQ(MyVardoApp_IsActive(app), 0);
    scripted::SetActive(app, true);
    EXPECT_EQ(MyVardoApp_IsActive(app), 1);
    MyVardoApp_Logout(app);
    EXPECT_EQ(MyVardoApp_IsActive(app), 0);
    EXPECT_EQ(MyVardoChn_IsRecording(chn), 0);
    EXPECT_EQ(MyVardoApp_IsActive(0), 0);
}

TEST_F(ScriptedDevice, HandlesAreUniqueAndNeverZero) {
    const auto app = MyVardoApp_Construct(&window, WM_DEVICE_NOTIFY);
    const auto dev = scripted::AddDevice({});
    const auto c1 = MyVardoDev_CreateChannel(dev, 1, &window);
    const auto c1again = MyVardoDev_CreateChannel(dev, 1, &window);
    scripted::FailChannel(dev, 2);
    const auto results = {MyVardoDev_CreateChannel(dev, 0, &window),
                          MyVardoDev_CreateChannel(dev, 5, &window),
                          MyVardoDev_CreateChannel(dev, 2, &window),
                          MyVardoDev_CreateChannel(dev + 1000, 1, &window)};
    for (auto handle : results) {
        EXPECT_EQ(handle, 0u);
    }
    const auto c3 = MyVardoDev_CreateChannel(dev, 3, &window);
    const std::set<std::uint32_t> handles{app, dev, c1, c3};
    EXPECT_EQ(handles.size(), 4u);
    EXPECT_EQ(handles.count(0), 0u);
    EXPECT_EQ(c1again, c1);  // one channel per device and number
    EXPECT_EQ(scripted::ChannelsOf(dev), (std::vector<HVARDOCHN>{c1, c3}));
}

TEST_F(ScriptedDevice, EveryCallIsLoggedInOrder) {
    const auto app = MyVardoApp_Construct(&window, WM_DEVICE_NOTIFY);
    MyVardoApp_SetCenterServer(app, "center", 24680, 24681);
    MyVardoApp_Login(app, "root", "kiwa");
    const auto a = std::to_string(app);
    EXPECT_EQ(
        scripted::Calls(),
        (std::vector<std::string>{"MyVardoApp_Construct(hwnd, 1280)",
                                  "MyVardoApp_SetCenterServer(" + a + ", \"center\", 24680, 24681)",
                                  "MyVardoApp_Login(" + a + ", \"root\", \"kiwa\")"}));
    EXPECT_EQ(scripted::CallsStartingWith("MyVardoApp_Login").size(), 1u);
    scripted::ClearCalls();
    EXPECT_TRUE(scripted::Calls().empty());
}

}  // namespace
