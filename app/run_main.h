#pragma once
// The program's main(), apart from which device library is linked.

#include <functional>

namespace app {

// Opens the window system around `runDialog`, which runs the main dialog
// and gives the exit status; supplied by the main of a build with windows.
using WindowHost = int (*)(int argc, char** argv, const std::function<int()>& runDialog);

int RunMain(int argc, char** argv, WindowHost windowHost = nullptr);

}  // namespace app
