#pragma once
// Delivering a message to a dialog the way every host does: an exception a
// handler lets out must not reach the event loop (Qt's cannot carry one, and
// the window-less loop would end the server). It becomes one line and the
// window goes on, as it does after any other failed handler.

#include <functional>
#include <string>
#include <string_view>

#include "vardoappcore/api/win_types.h"

class CDialog;

namespace ui {

// "message 0x500 failed: <what>" (without ": <what>" when nothing is known).
std::string HandlerFailureLine(UINT message, std::string_view what);

// Calls dialog.WindowProc; gives its result, or 0 after an exception, which
// is told to `log` as one line.
LRESULT DeliverSafely(CDialog& dialog, UINT message, WPARAM wParam, LPARAM lParam,
                      const std::function<void(const std::string& line)>& log);

}  // namespace ui
