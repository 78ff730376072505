#include "app/run_main.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "app/event_server_dlg.h"
#include "app/exit_status.h"
#include "app/language_setup.h"
#include "app/open_file_limit.h"
#include "app/res/resource.h"
#include "app/service_log.h"
#include "app/service_status.h"
#include "app/systemd_notify.h"
#include "db/dead_letters.h"
#include "db/statement_journal.h"
#include "files/instance_lock.h"
#include "settings/config.h"
#include "settings/program_dir.h"
#include "text/log_text.h"
#include "ui/headless/headless_application.h"
#include "ui/stop_signals.h"

#ifndef VARDO_VERSION
#define VARDO_VERSION "unknown"
#endif

namespace app {
namespace {

// The name every log line starts with, whichever program writes it.
constexpr std::string_view kProgram = "vardo-event-server";
constexpr std::string_view kServiceProgram = "vardo-event-serverd";

// One entry, one line: a device name or a database message holding a line
// break cannot forge entries of its own.
void Line(std::string_view entry) {
    std::string line = std::string(kProgram) + ": " + text::EscapeControlBytes(entry) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void PrintHelp(bool serviceOnly) {
    const std::string name(serviceOnly ? kServiceProgram : kProgram);
    std::printf(
        "Usage: %s %s[--home DIR]\n"
        "\n"
        "The event server%s: logs into the center server, notes the devices that\n"
        "come online, writes their online/offline events and GPS fixes into the\n"
        "database and records their cameras when they raise an alarm.\n"
        "\n"
        "Options:\n"
        "%s"
        "  --wait-for-database  %sa database that cannot be opened\n"
        "               at the start does not end the run: the service logs in at\n"
        "               once and stores what waits (in the journal) as soon as\n"
        "               the database can be opened; for services that boot before it\n"
        "  --channels LIST  without a window: the channels an alarm records,\n"
        "               e.g. 1,3 (the window's channel boxes; default 1)\n"
        "  --replay-dead-letters  move the statements set aside (journal/\n"
        "               dead-letters.jnl: the database kept timing out on them) into\n"
        "               the journal and exit; the next start sends them first\n"
        "  --home DIR   the program directory (Config.ini, Language/, EventRecord/);\n"
        "               default: VARDO_HOME, else the executable's folder\n"
        "  -h, --help   show this help and exit\n"
        "  --version    show the version and exit\n"
        "\n"
        "Exit status: 0 after a clean stop; 78 when the settings are wrong (a port\n"
        "that is no port, a login the center refuses%s); 1 when the service could\n"
        "not start otherwise (the database, another instance on the same program\n"
        "directory); 2 on a usage error.\n",
        name.c_str(),
        serviceOnly ? "[--wait-for-database] " : "[--headless [--wait-for-database]] ",
        serviceOnly ? ", the service systemd starts; it has no window" : "",
        serviceOnly ? ""
                    : "  --headless   run without a window: start the service at once with the\n"
                      "               settings of Config.ini; SIGINT, SIGTERM and SIGHUP stop it\n"
                      "               cleanly, SIGUSR1 writes the status line to the log\n",
        serviceOnly ? "" : "with --headless: ", serviceOnly ? ", a missing Config.ini" : "");
}

struct Options {
    bool headless = false;
    bool waitForDatabase = false;
    bool help = false;
    bool version = false;
    bool replayDeadLetters = false;
    std::optional<std::string> home;
    // Channel numbers 1-4 whose boxes are ticked, as bits 0-3.
    unsigned channels = 1;
};

// "1,3" as bits 0 and 2; nullopt unless it is a comma-separated list of
// channel numbers 1 to 4.
std::optional<unsigned> ParseChannels(std::string_view list) {
    unsigned bits = 0;
    while (true) {
        const std::size_t comma = list.find(',');
        const std::string_view item = list.substr(0, comma);
        if (item.size() != 1 || item[0] < '1' || item[0] > '4') {
            return std::nullopt;
        }
        bits |= 1u << (item[0] - '1');
        if (comma == std::string_view::npos) {
            return bits;
        }
        list.remove_prefix(comma + 1);
    }
}

// Parses the command line; nullopt (with a message printed) on a mistake.
std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--wait-for-database") {
            options.waitForDatabase = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--replay-dead-letters") {
            options.replayDeadLetters = true;
        } else if (arg == "--home") {
            if (i + 1 >= argc) {
                Line("--home needs a folder");
                return std::nullopt;
            }
            options.home = argv[++i];
        } else if (arg.starts_with("--home=")) {
            options.home = std::string(arg.substr(7));
        } else if (arg == "--channels" || arg.starts_with("--channels=")) {
            std::string_view list;
            if (arg == "--channels") {
                if (i + 1 >= argc) {
                    Line("--channels needs a list of channel numbers, e.g. 1,3");
                    return std::nullopt;
                }
                list = argv[++i];
            } else {
                list = arg.substr(11);
            }
            const std::optional<unsigned> channels = ParseChannels(list);
            if (!channels) {
                Line("--channels: '" + std::string(list) +
                     "' is not a list of channel numbers 1-4, e.g. 1,3");
                return std::nullopt;
            }
            options.channels = *channels;
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

// Moves what the worker set aside back into the journal, with the service
// stopped (the instance lock is held).
bool ReplayDeadLetters() {
    const std::filesystem::path dir = JournalDir();
    db::JournalOptions options;
    options.dir = dir;
    std::string error;
    auto journal = db::CStatementJournal::Open(
        options, [](const std::string& line) { Line(line); }, error);
    std::uint64_t moved = 0;
    if (!journal || !db::CDeadLetters::Replay(dir, *journal, moved, error)) {
        Line("cannot replay the dead letters: " + error);
        return false;
    }
    Line(std::to_string(moved) + " statements set aside moved into " + dir.string() +
         "; the next start sends them first");
    return true;
}

int RunHeadless(const Options& options) {
    const unsigned channels = options.channels;
    ui::headless::HeadlessApplication application(ProgramResources(), std::string(kProgram));
    // Every box the dialog raises says what its log line has already said
    // (each field masked by itself): printing the box too would give every
    // failure twice.
    application.SetMessageBoxSink([](const ui::headless::MessageBoxRecord&) {});
    // SIGHUP stops as SIGTERM does: the settings are read at a start, so a
    // restart (systemctl restart) is how a changed Config.ini is taken.
    ui::StopSignalWatcher signals([&application](int signal) {
        if (signal == SIGUSR1) {
            LogStatusLine();
            return;
        }
        Line(std::string(ui::SignalName(signal)) + " received, stopping");
        NotifyStopping();
        application.RequestClose();
    });
    if (!signals.Watching()) {
        Line("cannot watch for signals; SIGTERM will not stop the service cleanly");
    }

    CMyVardoEventServerDlg dlg;
    dlg.SetLogSink([](std::string_view line) { Line(line); });
    dlg.SetWaitForDatabase(options.waitForDatabase);
    bool refused = false;
    dlg.SetOnLoginRefused([&](const std::string&) {
        // Trying again would be refused again: the exit status tells the
        // operator (and systemd) that the settings need a look.
        refused = true;
        Line(
            "stopping: the center server refused the login; check EventServer_UserName and "
            "EventServer_Password");
        NotifyStopping();
        application.RequestClose();
    });

    bool failed = false;
    bool settings = false;
    application.SetInitHook([&](ui::headless::HeadlessHost& host) {
        if (ui::headless::HostOf(dlg) != &host) {
            return;
        }
        // The boxes as an operator would have ticked them before the start.
        constexpr int kBoxes[] = {IDC_CHN01, IDC_CHN02, IDC_CHN03, IDC_CHN04};
        for (unsigned n = 0; n < 4; ++n) {
            dlg.CheckDlgButton(kBoxes[n], (channels >> n & 1u) != 0 ? BST_CHECKED : BST_UNCHECKED);
        }
        if (dlg.GetVardoApp() == 0) {
            Line("service start failed: the device library could not be initialised");
            failed = true;
        } else {
            host.PressButton(IDOK);
            failed = !dlg.IsServiceStarted();
            settings = failed && dlg.StartRefusedBySettings();
        }
        if (failed) {
            host.Send(WM_CLOSE);
        } else {
            NotifyReady();
        }
    });

    dlg.DoModal();
    if (settings || refused) {
        return kExitConfig;
    }
    return failed ? kExitFailure : kExitOk;
}

// The windowed mode: the main dialog in the window system main brings.
int RunWindowed(int argc, char** argv, WindowHost windowHost) {
    if (windowHost == nullptr) {
        Line("this build has no window; run it with --headless (see --help)");
        return kExitFailure;
    }
    return windowHost(argc, argv, [] {
        CMyVardoEventServerDlg dlg;
        dlg.SetLogSink([](std::string_view line) { Line(line); });
        dlg.DoModal();
        return 0;
    });
}

}  // namespace

int RunMain(int argc, char** argv, WindowHost windowHost, bool serviceOnly) {
    // A stop signal that arrives while the program starts (systemd, a test
    // or an operator can send one at any moment) waits, blocked, for the
    // watcher to take it, instead of ending the process by default.
    ui::BlockStopSignals();
    std::optional<Options> options = ParseOptions(argc, argv);
    if (!options) {
        return kExitUsage;
    }
    options->headless = options->headless || serviceOnly;
    if (options->help) {
        PrintHelp(serviceOnly);
        return kExitOk;
    }
    if (options->version) {
        std::printf("%s %s\n", std::string(serviceOnly ? kServiceProgram : kProgram).c_str(),
                    VARDO_VERSION);
        return kExitOk;
    }
    if (!ApplyHome(*options)) {
        return kExitUsage;
    }
    // Before anything opens a file: an alarm storm records hundreds of
    // files at once.
    RaiseOpenFileLimit();
    if (options->waitForDatabase && !options->headless) {
        Line("--wait-for-database goes with --headless (see --help)");
        return kExitUsage;
    }
    files::InstanceLock lock;
    if (!lock.Acquire(g_strModuleDir, ".vardo-event-server.lock", "vardo-event-server",
                      "the program directory")) {
        if (lock.HeldByAnother()) {
            Line(lock.Problem());
            return kExitFailure;
        }
        // A program directory we may not write to (an installed program
        // run without --home): no second instance could lock it either.
        Line("warning: " + lock.Problem() + "; a second instance would not be noticed");
    }
    if (options->replayDeadLetters) {
        return ReplayDeadLetters() ? kExitOk : kExitFailure;
    }
    // The defaults name a SQL Server on this machine: a site that lost its
    // settings must hear so, and the service must not run on them.
    if (const std::string problem = ConfigFileProblem(); !problem.empty()) {
        Line(problem);
        if (serviceOnly) {
            return kExitConfig;
        }
    }
    PrepareProgramLanguage([](const std::string& line) { Line(line); });
    return options->headless ? RunHeadless(*options) : RunWindowed(argc, argv, windowHost);
}

void LogStatusLine() {
    Line("status: " + LatestStatusLine());
}

}  // namespace app
