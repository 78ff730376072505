// main() of vardo-event-serverd, the service systemd starts: the event
// server without a window, linking no window system at all.

#include "app/run_main.h"

int main(int argc, char** argv) {
    return app::RunMain(argc, argv, nullptr, true);
}
