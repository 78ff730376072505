#include "ui/qt/windowed_run.h"

#include <pthread.h>

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <csignal>
#include <cstdio>
#include <thread>

#include "ui/qt/display.h"
#include "ui/qt/qt_application.h"

namespace ui::qt {

namespace {

void Say(const std::string& program, const std::string& text) {
    const std::string line = program + ": " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);  // ends the watch
    return set;
}

// Waits for SIGINT or SIGTERM on a thread of its own and turns each into a
// close request. The signals are blocked before Qt starts any thread of its
// own (threads inherit the mask of the one that made them), so only this
// one receives them.
class SignalWatcher {
public:
    SignalWatcher(QtApplication& app, std::string program)
        : app_(app), program_(std::move(program)), set_(StopSignals()) {
        thread_ = std::thread([this] { Watch(); });
    }
    ~SignalWatcher() {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    void Watch() {
        int signal = 0;
        while (sigwait(&set_, &signal) == 0) {
            if (signal == SIGUSR1) {
                return;
            }
            Say(program_, signal == SIGINT ? "SIGINT received, closing the window"
                                           : "SIGTERM received, closing the window");
            app_.RequestClose();
        }
    }

    QtApplication& app_;
    std::string program_;
    sigset_t set_;
    std::thread thread_;
};

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
    const sigset_t stopSignals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    QApplication qtApp(argc, argv);
    if (!program.desktopFileName.empty()) {
        QGuiApplication::setDesktopFileName(QString::fromStdString(program.desktopFileName));
    }
    if (program.resources == nullptr) {
        Say(program.name, "no resources to build the windows from");
        return 1;
    }
    // Message boxes carry the executable's file name, as the original
    // framework gives them.
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
    SignalWatcher watcher(application, program.name);
    return body(application);
}

}  // namespace ui::qt
