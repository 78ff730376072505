// main() of the event server built with windows: the main dialog opens in a
// Qt window unless --headless is given.

#include "app/language_setup.h"
#include "app/res/resource.h"
#include "app/run_main.h"
#include "ui/qt/windowed_run.h"

namespace {

int RunInWindow(int argc, char** argv, const std::function<int()>& runDialog) {
    ui::qt::WindowedProgram program;
    program.name = "vardo-event-server";
    program.resources = &app::ProgramResources();
    program.onStatusSignal = &app::LogStatusLine;
    program.icons = {{IDR_MAINFRAME, {":/vardo-event-server.svg", ":/vardo-event-server.png"}}};
    program.windowIcon = IDR_MAINFRAME;
    program.desktopFileName = "vardo-event-server";
    return ui::qt::RunWindowed(argc, argv, program,
                               [&](ui::qt::QtApplication&) { return runDialog(); });
}

}  // namespace

int main(int argc, char** argv) {
    return app::RunMain(argc, argv, &RunInWindow);
}
