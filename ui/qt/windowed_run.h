#pragma once
// A program's run with windows: checks that a display can be reached (and
// says why not, on stderr, instead of letting Qt end the process), makes the
// QApplication and the widget application object, turns SIGINT, SIGTERM and
// SIGHUP into a click of every open dialog's close box, hands SIGUSR1 to the
// program, and runs the program's body.

#include <functional>
#include <string>
#include <vector>

#include "ui/dialog_template.h"

namespace ui::qt {

class QtApplication;

struct IconFiles {
    int iconId = 0;
    // One icon in several files (sizes or formats), e.g. Qt resource paths.
    std::vector<std::string> files;
};

struct WindowedProgram {
    // Program name: the start of every stderr line. Message boxes carry the
    // executable's file name.
    std::string name;
    const ResourceTable* resources = nullptr;
    std::vector<IconFiles> icons;
    // The icon of the program's windows, by id (0: none).
    int windowIcon = 0;
    // Base name of the program's .desktop file.
    std::string desktopFileName;
    // Called on the signal thread for each SIGUSR1 (the status request);
    // unset: the signal is ignored.
    std::function<void()> onStatusSignal;
};

// The body's result, or 1 when no window can be opened.
int RunWindowed(int argc, char** argv, const WindowedProgram& program,
                const std::function<int(QtApplication&)>& body);

}  // namespace ui::qt
