#pragma once
// The program's main(), apart from which device library is linked.

namespace app {

int RunMain(int argc, char** argv);

}  // namespace app
