#include "ui/qt/display.h"

#include <QDir>
#include <QLibraryInfo>
#include <cstdlib>
#include <string_view>

namespace ui::qt {

namespace {

bool IsSet(const char* value) {
    return value != nullptr && *value != '\0';
}

// Qt platforms that draw without a display server.
bool DrawsWithoutServer(std::string_view platform) {
    for (std::string_view own :
         {"offscreen", "minimal", "vnc", "linuxfb", "eglfs", "vkkhrdisplay", "minimalegl"}) {
        if (platform == own) {
            return true;
        }
    }
    return false;
}

}  // namespace

DisplayCheck CheckDisplay(const std::function<const char*(const char*)>& getenv,
                          bool waylandPlatform) {
    const char* platform = getenv("QT_QPA_PLATFORM");
    if (IsSet(platform)) {
        // "name:options" or a ";"-separated list of names; the first decides.
        std::string_view name(platform);
        name = name.substr(0, name.find_first_of(":;"));
        if (DrawsWithoutServer(name)) {
            return {true, {}};
        }
        if (name == "xcb") {
            if (IsSet(getenv("DISPLAY"))) {
                return {true, {}};
            }
            return {false, "QT_QPA_PLATFORM is xcb but DISPLAY is not set"};
        }
        if (name.starts_with("wayland")) {
            if (IsSet(getenv("WAYLAND_DISPLAY"))) {
                return {true, {}};
            }
            return {false,
                    "QT_QPA_PLATFORM is " + std::string(name) + " but WAYLAND_DISPLAY is not set"};
        }
        // A platform we do not know: let Qt try it.
        return {true, {}};
    }
    if (IsSet(getenv("DISPLAY")) || (waylandPlatform && IsSet(getenv("WAYLAND_DISPLAY")))) {
        return {true, {}};
    }
    if (IsSet(getenv("WAYLAND_DISPLAY"))) {
        return {false,
                "WAYLAND_DISPLAY is set but Qt's Wayland platform is not installed, and "
                "DISPLAY (XWayland) is not set"};
    }
    return {false, "neither DISPLAY nor WAYLAND_DISPLAY is set"};
}

DisplayCheck CheckDisplay() {
    bool wayland = false;
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                         QStringLiteral("/platforms"));
    if (platforms.exists()) {
        wayland = !platforms.entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty();
    }
    return CheckDisplay([](const char* name) { return std::getenv(name); }, wayland);
}

}  // namespace ui::qt
