#include "ui/safe_delivery.h"

#include <array>
#include <cstdio>
#include <exception>

#include "ui/dialog.h"

namespace ui {

std::string HandlerFailureLine(UINT message, std::string_view what) {
    std::array<char, 32> number{};
    std::snprintf(number.data(), number.size(), "0x%x", message);
    std::string line = "message " + std::string(number.data()) + " failed";
    if (!what.empty()) {
        line += ": ";
        line += what;
    }
    // One line, whatever the exception's text holds.
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return line;
}

LRESULT DeliverSafely(CDialog& dialog, UINT message, WPARAM wParam, LPARAM lParam,
                      const std::function<void(const std::string& line)>& log) {
    try {
        return dialog.WindowProc(message, wParam, lParam);
    } catch (const std::exception& error) {
        log(HandlerFailureLine(message, error.what()));
    } catch (...) {
        log(HandlerFailureLine(message, {}));
    }
    return 0;
}

}  // namespace ui
