#include "ui/qt/windowed_run.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <csignal>
#include <cstdio>

#include "ui/qt/display.h"
#include "ui/qt/qt_application.h"
#include "ui/stop_signals.h"

namespace ui::qt {

namespace {

void Say(const std::string& program, const std::string& text) {
    const std::string line = program + ": " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

}  // namespace

int RunWindowed(int argc, char** argv, const WindowedProgram& program,
                const std::function<int(QtApplication&)>& body) {
    const DisplayCheck display = CheckDisplay();
    if (!display.available) {
        Say(program.name, "cannot open the window: " + display.reason +
                              ". Run it where a display is available, or with --headless to "
                              "serve without a window (see --help).");
        return 1;
    }
    ui::BlockStopSignals();
    QApplication qtApp(argc, argv);
    if (!program.desktopFileName.empty()) {
        QGuiApplication::setDesktopFileName(QString::fromStdString(program.desktopFileName));
    }
    if (program.resources == nullptr) {
        Say(program.name, "no resources to build the windows from");
        return 1;
    }
    // Message boxes carry the executable's file name as their caption, so
    // that a box tells which program it comes from under the name the
    // operator started it by.
    const QString executable = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    QtApplication application(*program.resources,
                              executable.isEmpty() ? program.name : executable.toStdString());
    for (const IconFiles& icon : program.icons) {
        QIcon drawn;
        for (const std::string& file : icon.files) {
            drawn.addFile(QString::fromStdString(file));
        }
        application.SetIcon(icon.iconId, drawn);
    }
    if (program.windowIcon != 0) {
        QApplication::setWindowIcon(application.Icon(program.windowIcon));
    }
    ui::StopSignalWatcher watcher([&application, &program](int signal) {
        if (signal == SIGUSR1) {
            if (program.onStatusSignal) {
                program.onStatusSignal();
            }
            return;
        }
        Say(program.name, std::string(ui::SignalName(signal)) + " received, closing the window");
        application.RequestClose();
    });
    return body(application);
}

}  // namespace ui::qt
