// vardo-event-server --headless as a process: it starts the service at once,
// stops on SIGTERM or SIGINT, and says on stderr what happened. This build
// of it links the scripted device library.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "testsupport/config/temp_program_dir.h"

namespace {

struct Outcome {
    int status = -1;  // exit code, or 128 + signal
    std::string out;
    std::string err;
};

class Process {
public:
    explicit Process(std::vector<std::string> args) {
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            throw std::runtime_error("pipe");
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            close(out[0]);
            close(err[0]);
            std::vector<char*> argv;
            for (auto& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(out_);
        close(err_);
    }

    // Reads stderr until it holds `text`, the stream ends or a generous
    // bound passes.
    bool WaitForErr(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (outcome_.err.find(text) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            if (ReadSome(err_, outcome_.err) == Read::End) {
                break;
            }
        }
        return outcome_.err.find(text) != std::string::npos;
    }
    void Signal(int signal) { kill(pid_, signal); }
    pid_t Pid() const { return pid_; }
    Outcome Wait() {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        bool outOpen = true;
        bool errOpen = true;
        while ((outOpen || errOpen) && std::chrono::steady_clock::now() < deadline) {
            if (outOpen) {
                outOpen = ReadSome(out_, outcome_.out) != Read::End;
            }
            if (errOpen) {
                errOpen = ReadSome(err_, outcome_.err) != Read::End;
            }
        }
        if (outOpen || errOpen) {
            kill(pid_, SIGKILL);  // hung: the status will show it
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        outcome_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return outcome_;
    }

private:
    static constexpr std::chrono::seconds kBound{60};
    enum class Read { Data, Timeout, End };

    static Read ReadSome(int fd, std::string& into) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) == 0) {
            return Read::Timeout;
        }
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return Read::End;
        }
        into.append(buffer, static_cast<std::size_t>(n));
        return Read::Data;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    Outcome outcome_;
};

Outcome RunServer(std::vector<std::string> args) {
    args.insert(args.begin(), VARDO_SCRIPTED_SERVER);
    return Process(args).Wait();
}

// The service program systemd starts (always headless), on the same library.
Outcome RunService(std::vector<std::string> args) {
    args.insert(args.begin(), VARDO_SCRIPTED_SERVICE);
    return Process(args).Wait();
}

int CountOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size())) {
        ++count;
    }
    return count;
}

TEST(HeadlessProcess, StopsCleanlyOnSigtermAndSigint) {
    for (int signal : {SIGTERM, SIGINT}) {
        testsupport::TempProgramDir home;
        home.writeConfig({{"EventServer_ConnectString", "sqlite:vardo.db"},
                          {"EventServer_Password", "topsecret"}});
        Process server({VARDO_SCRIPTED_SERVER, "--headless", "--home", home.path()});
        ASSERT_TRUE(server.WaitForErr("service started:")) << signal;
        server.Signal(signal);
        const Outcome outcome = server.Wait();
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_NE(
            outcome.err.find("service started: db=sqlite:vardo.db center=127.0.0.1:24680/24681 "
                             "user=root"),
            std::string::npos)
            << outcome.err;
        EXPECT_NE(outcome.err.find("service stopped: queued=0"), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.err.find("topsecret"), std::string::npos) << outcome.err;
    }
}

TEST(HeadlessProcess, Sigusr1LogsTheStatusAndTheServerStillStopsOnTheNextSignal) {
    // A SIGUSR1 used to end the signal watch, so that SIGTERM was ignored
    // until systemd killed the server and its recordings lost their index.
    for (int stop : {SIGTERM, SIGINT, SIGHUP}) {
        testsupport::TempProgramDir home;
        home.writeConfig({{"EventServer_ConnectString", "sqlite:vardo.db"}});
        Process server({VARDO_SCRIPTED_SERVER, "--headless", "--home", home.path()});
        ASSERT_TRUE(server.WaitForErr("logged in to the center server as root")) << stop;
        server.Signal(SIGUSR1);
        ASSERT_TRUE(server.WaitForErr("status: center: logged in as root")) << stop;
        server.Signal(SIGUSR1);
        server.Signal(stop);
        const Outcome outcome = server.Wait();
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_NE(outcome.err.find(" received, stopping"), std::string::npos) << outcome.err;
        EXPECT_NE(outcome.err.find("service stopped:"), std::string::npos) << outcome.err;
    }
}

TEST(HeadlessProcess, ASecondInstanceOnTheSameDirectoryExitsNonZero) {
    testsupport::TempProgramDir home;
    home.writeConfig({{"EventServer_ConnectString", "sqlite:vardo.db"}});
    Process first({VARDO_SCRIPTED_SERVER, "--headless", "--home", home.path()});
    ASSERT_TRUE(first.WaitForErr("service started:"));
    const Outcome second = RunServer({"--headless", "--home", home.path()});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("another vardo-event-server already runs on the program directory"),
              std::string::npos)
        << second.err;
    EXPECT_EQ(second.err.find("service started"), std::string::npos) << second.err;
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait().status, 0);
    // Once the first has ended, the directory is free again.
    Process third({VARDO_SCRIPTED_SERVER, "--headless", "--home", home.path()});
    EXPECT_TRUE(third.WaitForErr("service started:"));
    third.Signal(SIGTERM);
    EXPECT_EQ(third.Wait().status, 0);
}

TEST(HeadlessProcess, APortThatIsNoPortEndsTheRunWithTheReasonAndTheConfigurationStatus) {
    testsupport::TempProgramDir home;
    home.writeConfig({{"EventServer_ConnectString", "sqlite:vardo.db"},
                      {"EventServer_CenterServerTcpPort", "70000"}});
    const Outcome outcome = RunServer({"--headless", "--home", home.path()});
    EXPECT_EQ(outcome.status, 78);
    EXPECT_NE(
        outcome.err.find("service start failed: TCP Port '70000' is no port number (1-65535)"),
        std::string::npos)
        << outcome.err;
    // Said once, not again as the box of the window.
    EXPECT_EQ(CountOf(outcome.err, "is no port number"), 1) << outcome.err;
}

TEST(HeadlessProcess, UdpPortZeroMeansNoMediaButTextAndLargeNumbersAreRefused) {
    testsupport::TempProgramDir home;
    home.writeConfig({{"EventServer_ConnectString", "sqlite:vardo.db"},
                      {"EventServer_CenterServerUdpPort", "0"}});
    Process server({VARDO_SCRIPTED_SERVER, "--headless", "--home", home.path()});
    ASSERT_TRUE(server.WaitForErr("service started:"));
    server.Signal(SIGTERM);
    const Outcome started = server.Wait();
    EXPECT_EQ(started.status, 0) << started.err;
    EXPECT_NE(started.err.find("no media: alarm recording off"), std::string::npos) << started.err;

    for (const char* bad : {"65536", "media", "-1"}) {
        home.writeConfig({{"EventServer_ConnectString", "sqlite:vardo.db"},
                          {"EventServer_CenterServerUdpPort", bad}});
        const Outcome outcome = RunServer({"--headless", "--home", home.path()});
        EXPECT_EQ(outcome.status, 78) << bad << ": " << outcome.err;
        EXPECT_NE(outcome.err.find("service start failed: UDP Port '" + std::string(bad) +
                                   "' is no port number (0-65535, 0: no media)"),
                  std::string::npos)
            << outcome.err;
    }
}

TEST(HeadlessProcess, TheServiceRefusesToRunWithoutItsSettings) {
    testsupport::TempProgramDir home;
    const Outcome missing = RunService({"--home", home.path()});
    EXPECT_EQ(missing.status, 78) << missing.err;
    const std::string dir = home.path();
    EXPECT_NE(missing.err.find("no Config.ini in " + dir + ": using the defaults"),
              std::string::npos)
        << missing.err;
    EXPECT_EQ(missing.err.find("service start"), std::string::npos) << missing.err;

    home.writeConfigText("[Other]\nEventServer_ConnectString=sqlite:vardo.db\n");
    const Outcome noSection = RunService({"--home", home.path()});
    EXPECT_EQ(noSection.status, 78) << noSection.err;
    EXPECT_NE(noSection.err.find("has no [VardoEventServer] section: using the defaults"),
              std::string::npos)
        << noSection.err;
}

TEST(HeadlessProcess, TheServiceNamesItselfInItsHelpAndVersion) {
    const Outcome help = RunService({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: vardo-event-serverd "), std::string::npos) << help.out;
    EXPECT_EQ(help.out.find("--headless"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("78"), std::string::npos) << help.out;
    const Outcome version = RunService({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("vardo-event-serverd 1.", 0), 0u) << version.out;
}

TEST(HeadlessProcess, WithWaitForDatabaseTheServiceLogsInAtOnceAndTheDatabaseComesLater) {
    testsupport::TempProgramDir home;
    home.writeConfig({{"EventServer_ConnectString", "sqlite:late/vardo.db"}});
    home.writeFile("late", "a file where the database's folder belongs");
    Process server(
        {VARDO_SCRIPTED_SERVER, "--headless", "--wait-for-database", "--home", home.path()});
    ASSERT_TRUE(server.WaitForErr("(waiting for the database)"));
    ASSERT_TRUE(server.WaitForErr("service started: db=sqlite:late/vardo.db"));
    std::filesystem::remove(home.path() + "late");
    home.makeDirectory("late");
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait().status, 0);
}

TEST(HeadlessProcess, AStartThatFailsExitsNonZeroWithTheMessageAndNoPassword) {
    testsupport::TempProgramDir home;  // no Config.ini: the SQL Server default
    const Outcome outcome = RunServer({"--headless", "--home", home.path()});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("no Config.ini in " + home.path() + ": using the defaults"),
              std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find("can't connect database:Provider=SQLOLEDB;"), std::string::npos)
        << outcome.err;
    EXPECT_NE(outcome.err.find("service start failed:"), std::string::npos) << outcome.err;
    // One line per failure, and the driver's reason whole after the masked
    // password: "(" opens it right after the connection string.
    EXPECT_EQ(CountOf(outcome.err, "service start failed:"), 1) << outcome.err;
    EXPECT_EQ(CountOf(outcome.err, "can't connect database:"), 1) << outcome.err;
    EXPECT_NE(outcome.err.find("Password=*** ("), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("nobe274"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("service stopped"), std::string::npos) << outcome.err;
}

TEST(HeadlessProcess, CommandLineAsUsersExpect) {
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* out;  // expected in stdout
        const char* err;  // expected in stderr
    };
    const Case cases[] = {
        {{"--help"}, 0, "Usage: vardo-event-server [--headless", ""},
        {{"-h"}, 0, "--headless", ""},
        {{"--version"}, 0, "vardo-event-server 1.0.0", ""},
        {{"--bogus"}, 2, "", "unknown option '--bogus'"},
        {{"--home"}, 2, "", "--home needs a folder"},
        {{"--headless", "--home", "/nonexistent/vardo"}, 2, "", "is not a folder"},
        {{}, 1, "", "--headless"},
    };
    for (const auto& c : cases) {
        const Outcome outcome = RunServer(c.args);
        const std::string what = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(outcome.status, c.status) << what << ": " << outcome.err;
        EXPECT_NE(outcome.out.find(c.out), std::string::npos) << what << ": " << outcome.out;
        EXPECT_NE(outcome.err.find(c.err), std::string::npos) << what << ": " << outcome.err;
    }
}

// "Max open files  <soft>  <hard>  files" of /proc/<pid>/limits.
std::pair<std::string, std::string> OpenFileLimits(pid_t pid) {
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    std::string line;
    while (std::getline(limits, line)) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream fields(line.substr(std::strlen("Max open files")));
            std::pair<std::string, std::string> values;
            fields >> values.first >> values.second;
            return values;
        }
    }
    return {};
}

// Started under the usual soft limit of 1024 (here 256), an alarm storm
// would run out of files long before the hard limit: the server raises it.
TEST(HeadlessProcess, RaisesTheOpenFileLimitToTheHardLimit) {
    rlimit own{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
    if (own.rlim_max != RLIM_INFINITY && own.rlim_max <= 256) {
        GTEST_SKIP() << "hard limit " << own.rlim_max << " leaves nothing to raise";
    }
    testsupport::TempProgramDir home;
    home.writeConfig({{"EventServer_ConnectString", "sqlite:vardo.db"}});
    Process server({"/bin/sh", "-c", "ulimit -S -n 256 && exec \"$0\" --headless --home \"$1\"",
                    VARDO_SCRIPTED_SERVER, home.path()});
    ASSERT_TRUE(server.WaitForErr("service started:"));
    const auto [soft, hard] = OpenFileLimits(server.Pid());
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait().status, 0);
    EXPECT_NE(hard, "");
    EXPECT_EQ(soft, hard);
}

TEST(HeadlessProcess, VardoHomeNamesTheProgramDirectory) {
    testsupport::TempProgramDir home;
    home.writeConfig({{"EventServer_ConnectString", "sqlite:from-env.db"}});
    const std::string assignment = "VARDO_HOME=" + home.path();
    Process server({"/usr/bin/env", assignment, VARDO_SCRIPTED_SERVER, "--headless"});
    ASSERT_TRUE(server.WaitForErr("service started: db=sqlite:from-env.db"));
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait().status, 0);
}

}  // namespace
