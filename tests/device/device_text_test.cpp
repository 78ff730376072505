// Text from devices: read into a bounded buffer and made valid UTF-8 before
// it is shown or stored.

#include "device/device_text.h"

#include <gtest/gtest.h>

#include <cstring>

#include "testsupport/scripted_device/scripted_device.h"

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

class DeviceInfoRead : public ::testing::Test {
protected:
    void SetUp() override { scripted::Reset(); }
    char scratch[device::kDevInfoSize];
};

TEST_F(DeviceInfoRead, LongTextIsCutToTheBufferWithoutBreakingUtf8) {
    // 200 three-byte characters: 600 bytes, cut at 511 inside the 171st.
    std::string name;
    for (int i = 0; i < 200; ++i) {
        name += "车";
    }
    const auto dev = scripted::AddDevice({.name = name});
    const std::string text = device::ReadDevInfoText(dev, DEVINFO_NAME, scratch);
    EXPECT_EQ(text, name.substr(0, 510) + kFffd);
    EXPECT_EQ(device::ReadDevInfoBytes(dev, DEVINFO_NAME, scratch).size(), 511u);
}

TEST_F(DeviceInfoRead, UnknownDevicesAndItemsReadAsEmpty) {
    const auto dev = scripted::AddDevice({.name = "X7"});
    scripted::ForgetInfo(dev, DEVINFO_DRIVER_NAME);
    std::memcpy(scratch, "stale", 6);
    EXPECT_EQ(device::ReadDevInfoText(dev + 999, DEVINFO_NAME, scratch), "");
    std::memcpy(scratch, "stale", 6);
    EXPECT_EQ(device::ReadDevInfoText(dev, DEVINFO_DRIVER_NAME, scratch), "");
    EXPECT_EQ(device::ReadChannelCount(dev + 999), 0);
    scripted::ForgetInfo(dev, DEVINFO_CHANNEL);
    EXPECT_EQ(device::ReadChannelCount(dev), 0);
}

TEST_F(DeviceInfoRead, TextEndsAtTheFirstNul) {
    const auto dev = scripted::AddDevice({.name = "X7"});
    scripted::SetInfo(dev, DEVINFO_VEHICLE_ID, std::string("AB\0CD", 5));
    EXPECT_EQ(device::ReadDevInfoText(dev, DEVINFO_VEHICLE_ID, scratch), "AB");
}

}  // namespace
