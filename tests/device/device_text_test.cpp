// Text from devices: made valid UTF-8 and bounded before it is shown or stored.

#include "device/device_text.h"

#include <gtest/gtest.h>

#include <cstring>

#include "testsupport/scripted_device/scripted_device.h"

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(DeviceText, InvalidSequencesBecomeOneReplacementEach) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"X7", "X7"},
        {"车辆", "车辆"},
        {"\xF0\x9F\x9A\x93", "\xF0\x9F\x9A\x93"},  // 4-byte character
        {"a\x80z", "a" + kFffd + "z"},             // stray continuation
        {"a\xC3", "a" + kFffd},                    // cut at the end
        {"\xE8\xBD", kFffd},                       // cut 3-byte sequence
        {"\xE8\xBD"
         "A",
         kFffd + "A"},                                        // cut, then ASCII
        {"\xC0\xAF", kFffd + kFffd},                          // overlong '/'
        {"\xE0\x80\xAF", kFffd + kFffd + kFffd},              // overlong 3-byte
        {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // surrogate
        {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // past U+10FFFF
        {"\xFF\xFE", kFffd + kFffd},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vardo::MakeValidUtf8(c.in), c.out) << testing::PrintToString(c.in);
    }
}

class DeviceInfoRead : public ::testing::Test {
protected:
    void SetUp() override { scripted::Reset(); }
    char scratch[vardo::kDevInfoSize];
};

TEST_F(DeviceInfoRead, LongTextIsCutToTheBufferWithoutBreakingUtf8) {
    // 200 three-byte characters: 600 bytes, cut at 511 inside the 171st.
    std::string name;
    for (int i = 0; i < 200; ++i) {
        name += "车";
    }
    const auto dev = scripted::AddDevice({.name = name});
    const std::string text = vardo::ReadDevInfoText(dev, DEVINFO_NAME, scratch);
    EXPECT_EQ(text, name.substr(0, 510) + kFffd);
    EXPECT_EQ(vardo::ReadDevInfoBytes(dev, DEVINFO_NAME, scratch).size(), 511u);
}

TEST_F(DeviceInfoRead, UnknownDevicesAndItemsReadAsEmpty) {
    const auto dev = scripted::AddDevice({.name = "X7"});
    scripted::ForgetInfo(dev, DEVINFO_DRIVER_NAME);
    std::memcpy(scratch, "stale", 6);
    EXPECT_EQ(vardo::ReadDevInfoText(dev + 999, DEVINFO_NAME, scratch), "");
    std::memcpy(scratch, "stale", 6);
    EXPECT_EQ(vardo::ReadDevInfoText(dev, DEVINFO_DRIVER_NAME, scratch), "");
    EXPECT_EQ(vardo::ReadChannelCount(dev + 999), 0);
    scripted::ForgetInfo(dev, DEVINFO_CHANNEL);
    EXPECT_EQ(vardo::ReadChannelCount(dev), 0);
}

TEST_F(DeviceInfoRead, TextEndsAtTheFirstNul) {
    const auto dev = scripted::AddDevice({.name = "X7"});
    scripted::SetInfo(dev, DEVINFO_VEHICLE_ID, std::string("AB\0CD", 5));
    EXPECT_EQ(vardo::ReadDevInfoText(dev, DEVINFO_VEHICLE_ID, scratch), "AB");
}

}  // namespace
