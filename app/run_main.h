#pragma once
// The program's main(), apart from which device library is linked.

#include <functional>

namespace app {

// Opens the window system around `runDialog`, which runs the main dialog
// and gives the exit status; supplied by the main of a build with windows.
using WindowHost = int (*)(int argc, char** argv, const std::function<int()>& runDialog);

// `serviceOnly`: the program has no window at all and runs as --headless
// whether or not it is given (the service binary systemd starts).
int RunMain(int argc, char** argv, WindowHost windowHost = nullptr, bool serviceOnly = false);

// Writes "status: <the latest status line>" to the log; safe on the signal
// thread.
void LogStatusLine();

}  // namespace app
