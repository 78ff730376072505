#include "app/run_main.h"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "app/event_server_dlg.h"
#include "app/res/resource.h"
#include "app/service_log.h"
#include "settings/program_dir.h"
#include "ui/headless/headless_application.h"

#ifndef VARDO_VERSION
#define VARDO_VERSION "unknown"
#endif

namespace app {
namespace {

constexpr std::string_view kProgram = "vardo-event-server";

void Line(std::string_view text) {
    std::string line = std::string(kProgram) + ": " + std::string(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void PrintHelp() {
    std::printf(
        "Usage: %s [--headless] [--home DIR]\n"
        "\n"
        "The event server: logs into the center server, shows the devices that come\n"
        "online, writes their online/offline events and GPS fixes into the database\n"
        "and records their cameras when they raise an alarm.\n"
        "\n"
        "Options:\n"
        "  --headless   run without a window: start the service at once with the\n"
        "               settings of Config.ini, stop it on SIGINT or SIGTERM\n"
        "  --home DIR   the program directory (Config.ini, Language/, EventRecord/);\n"
        "               default: VARDO_HOME, else the executable's folder\n"
        "  -h, --help   show this help and exit\n"
        "  --version    show the version and exit\n"
        "\n"
        "Exit status: 0 after a clean stop, 1 when the service could not start,\n"
        "2 on a usage error.\n",
        std::string(kProgram).c_str());
}

struct Options {
    bool headless = false;
    bool help = false;
    bool version = false;
    std::optional<std::string> home;
};

// Parses the command line; nullopt (with a message printed) on a mistake.
std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--home") {
            if (i + 1 >= argc) {
                Line("--home needs a folder");
                return std::nullopt;
            }
            options.home = argv[++i];
        } else if (arg.starts_with("--home=")) {
            options.home = std::string(arg.substr(7));
        } else {
            Line("unknown option '" + std::string(arg) + "' (see --help)");
            return std::nullopt;
        }
    }
    return options;
}

bool ApplyHome(const Options& options) {
    std::string home;
    if (options.home) {
        home = *options.home;
    } else if (const char* env = std::getenv("VARDO_HOME"); env != nullptr && *env != '\0') {
        home = env;
    } else {
        return true;  // the executable's folder
    }
    std::error_code error;
    if (home.empty() || !std::filesystem::is_directory(home, error)) {
        Line("program directory '" + home + "' is not a folder");
        return false;
    }
    return SetModuleDir(home);
}

// Waits for SIGINT or SIGTERM on a thread of its own and turns the first
// one into a click of the close box. The signals are blocked in every
// thread (they inherit the mask of the thread that made them), so only this
// one receives them.
class SignalWatcher {
public:
    explicit SignalWatcher(ui::headless::HeadlessApplication& app) : app_(app) {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGUSR1);  // ends the watch
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
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
            Line(signal == SIGINT ? "SIGINT received, stopping" : "SIGTERM received, stopping");
            app_.RequestClose();
        }
    }

    ui::headless::HeadlessApplication& app_;
    sigset_t set_{};
    std::thread thread_;
};

int RunHeadless() {
    ui::headless::HeadlessApplication application(res::Resources(), std::string(kProgram));
    // The operator's messages go to stderr; a connection string in them is
    // shown with its password masked.
    application.SetMessageBoxSink(
        [](const ui::headless::MessageBoxRecord& box) { Line(MaskSecrets(box.text)); });
    SignalWatcher signals(application);

    CMyVardoEventServerDlg dlg;
    dlg.SetLogSink([](std::string_view line) { Line(line); });

    bool failed = false;
    application.SetInitHook([&](ui::headless::HeadlessHost& host) {
        if (ui::headless::HostOf(dlg) != &host) {
            return;
        }
        if (dlg.GetVardoApp() == 0) {
            Line("service start failed: the device library could not be initialised");
            failed = true;
        } else {
            host.PressButton(IDOK);
            failed = !dlg.IsServiceStarted();
        }
        if (failed) {
            host.Send(WM_CLOSE);
        }
    });

    dlg.DoModal();
    return failed ? 1 : 0;
}

// The windowed mode: the main dialog in the window system main brings.
int RunWindowed(int argc, char** argv, WindowHost windowHost) {
    if (windowHost == nullptr) {
        Line("this build has no window; run it with --headless (see --help)");
        return 1;
    }
    return windowHost(argc, argv, [] {
        CMyVardoEventServerDlg dlg;
        dlg.SetLogSink([](std::string_view line) { Line(line); });
        dlg.DoModal();
        return 0;
    });
}

}  // namespace

int RunMain(int argc, char** argv, WindowHost windowHost) {
    const std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        return 2;
    }
    if (options->help) {
        PrintHelp();
        return 0;
    }
    if (options->version) {
        std::printf("%s %s\n", std::string(kProgram).c_str(), VARDO_VERSION);
        return 0;
    }
    if (!ApplyHome(*options)) {
        return 2;
    }
    return options->headless ? RunHeadless() : RunWindowed(argc, argv, windowHost);
}

}  // namespace app
