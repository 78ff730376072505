#pragma once
// Whether this process can open a window, decided before Qt is started: Qt
// ends the process when its window system cannot be reached, so the program
// asks first and can explain instead.

#include <functional>
#include <string>

namespace ui::qt {

struct DisplayCheck {
    bool available = false;
    // Why not, in words for the operator; empty when available.
    std::string reason;
};

// `getenv` reads one environment variable (null when unset);
// `waylandPlatform` says whether Qt's Wayland platform is installed, without
// which a Wayland session is reached through XWayland (DISPLAY) only.
DisplayCheck CheckDisplay(const std::function<const char*(const char*)>& getenv,
                          bool waylandPlatform);
// The same with the process environment and Qt's installed platforms.
DisplayCheck CheckDisplay();

}  // namespace ui::qt
