// Whether the program can open its window, decided from the environment.

#include "ui/qt/display.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace qttest {
namespace {

TEST(DisplayCheck, TheEnvironmentDecidesWhetherAWindowCanOpen) {
    struct Case {
        std::map<std::string, std::string> env;
        bool waylandPlatform;
        bool available;
        const char* reasonMentions;
    };
    const Case cases[] = {
        {{}, true, false, "neither DISPLAY nor WAYLAND_DISPLAY"},
        {{{"DISPLAY", ""}}, false, false, "neither"},
        {{{"DISPLAY", ":0"}}, false, true, ""},
        {{{"WAYLAND_DISPLAY", "wayland-0"}}, true, true, ""},
        {{{"WAYLAND_DISPLAY", "wayland-0"}}, false, false, "Wayland platform is not installed"},
        {{{"QT_QPA_PLATFORM", "offscreen"}}, false, true, ""},
        {{{"QT_QPA_PLATFORM", "offscreen:size=800x600"}}, false, true, ""},
        {{{"QT_QPA_PLATFORM", "vnc"}}, false, true, ""},
        {{{"QT_QPA_PLATFORM", "xcb"}}, false, false, "DISPLAY is not set"},
        {{{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":99"}}, false, true, ""},
        {{{"QT_QPA_PLATFORM", "wayland;xcb"}}, true, false, "WAYLAND_DISPLAY is not set"},
        {{{"QT_QPA_PLATFORM", "someday"}}, false, true, ""},
    };
    for (const auto& c : cases) {
        const auto check = ui::qt::CheckDisplay(
            [&](const char* name) -> const char* {
                const auto it = c.env.find(name);
                return it == c.env.end() ? nullptr : it->second.c_str();
            },
            c.waylandPlatform);
        std::string what;
        for (const auto& [name, value] : c.env) {
            what += name + "=" + value + " ";
        }
        EXPECT_EQ(check.available, c.available) << what;
        EXPECT_EQ(check.reason.empty(), c.available) << what;
        EXPECT_NE(check.reason.find(c.reasonMentions), std::string::npos)
            << what << ": " << check.reason;
    }
}

}  // namespace
}  // namespace qttest
