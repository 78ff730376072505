// vardo-event-server without --headless, as a process: it opens its window
// when a display can be reached, says on stderr why it cannot when none can,
// and closes its window on SIGTERM. This build links the scripted device
// library.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/config/temp_program_dir.h"

namespace {

using Env = std::map<std::string, std::string>;

struct Outcome {
    int status = -1;  // exit code, or 128 + signal
    std::string err;
};

constexpr std::chrono::seconds kBound{60};

// The test's environment without anything that reaches a display, plus `extra`.
std::vector<std::string> Environment(const Env& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        if (name != "DISPLAY" && name != "WAYLAND_DISPLAY" && name != "QT_QPA_PLATFORM" &&
            extra.count(name) == 0) {
            env.push_back(entry);
        }
    }
    for (const auto& [name, value] : extra) {
        env.push_back(name + "=" + value);
    }
    return env;
}

class Process {
public:
    Process(std::vector<std::string> args, const Env& env) {
        int err[2];
        if (pipe(err) != 0) {
            throw std::runtime_error("pipe");
        }
        std::vector<std::string> environment = Environment(env);
        pid_ = fork();
        if (pid_ == 0) {
            const int devNull = open("/dev/null", O_WRONLY);
            dup2(devNull, 1);
            dup2(err[1], 2);
            close(err[0]);
            std::vector<char*> argv;
            for (auto& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            std::vector<char*> envp;
            for (auto& entry : environment) {
                envp.push_back(entry.data());
            }
            envp.push_back(nullptr);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(err[1]);
        err_ = err[0];
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(err_);
    }

    // Whether the process blocks SIGTERM by now: from then on a SIGTERM is
    // the operator's request, not the end of a process still starting.
    bool WaitUntilSigtermIsHandled() const {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
            std::string line;
            while (std::getline(status, line)) {
                if (line.starts_with("SigBlk:")) {
                    const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
                    if ((mask & (1ull << (SIGTERM - 1))) != 0) {
                        return true;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    void Signal(int signal) const { kill(pid_, signal); }

    Outcome Wait() {
        const auto deadline = std::chrono::steady_clock::now() + kBound;
        Outcome outcome;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{err_, POLLIN, 0};
            if (poll(&p, 1, 50) == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = read(err_, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            outcome.err.append(buffer, static_cast<std::size_t>(n));
        }
        kill(pid_, SIGKILL);  // only if it hung: the status will show it
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return outcome;
    }

private:
    pid_t pid_ = -1;
    int err_ = -1;
};

TEST(WindowProcess, WithoutADisplayItSaysSoUnlessNoWindowIsNeeded) {
    testsupport::TempProgramDir home;
    struct Case {
        std::vector<std::string> args;
        Env env;
        int status;
        const char* errMentions;
    };
    const Case cases[] = {
        {{}, {}, 1, "cannot open the window: neither DISPLAY nor WAYLAND_DISPLAY is set"},
        {{}, {{"QT_QPA_PLATFORM", "xcb"}}, 1, "DISPLAY is not set"},
        {{"--version"}, {}, 0, ""},
        {{"--help"}, {}, 0, ""},
        {{"--bogus"}, {}, 2, "unknown option"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{VARDO_WINDOWED_SERVER, "--home", home.path()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Process server(args, c.env);
        const Outcome outcome = server.Wait();
        const std::string what = c.args.empty() ? "(no option)" : c.args.front();
        EXPECT_EQ(outcome.status, c.status) << what << ": " << outcome.err;
        EXPECT_NE(outcome.err.find(c.errMentions), std::string::npos)
            << what << ": " << outcome.err;
        if (c.status == 1) {
            EXPECT_NE(outcome.err.find("--headless"), std::string::npos) << outcome.err;
        }
    }
}

TEST(WindowProcess, OpensItsWindowAndClosesItOnSigterm) {
    testsupport::TempProgramDir home;
    home.writeConfig({{"EventServer_ConnectString", "sqlite:vardo.db"}});
    Process server({VARDO_WINDOWED_SERVER, "--home", home.path()},
                   {{"QT_QPA_PLATFORM", "offscreen"}});
    ASSERT_TRUE(server.WaitUntilSigtermIsHandled());
    server.Signal(SIGTERM);
    const Outcome outcome = server.Wait();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("SIGTERM received, closing the window"), std::string::npos)
        << outcome.err;
}

TEST(WindowProcess, Sigusr1LogsTheStatusAndSigtermStillClosesTheWindow) {
    // A SIGUSR1 once ended the signal watch: the next SIGTERM was never seen.
    testsupport::TempProgramDir home;
    home.writeConfig({{"EventServer_ConnectString", "sqlite:vardo.db"}});
    Process server({VARDO_WINDOWED_SERVER, "--home", home.path()},
                   {{"QT_QPA_PLATFORM", "offscreen"}});
    ASSERT_TRUE(server.WaitUntilSigtermIsHandled());
    server.Signal(SIGUSR1);
    server.Signal(SIGUSR1);
    server.Signal(SIGTERM);
    const Outcome outcome = server.Wait();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_NE(outcome.err.find("vardo-event-server: status: "), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find("SIGTERM received, closing the window"), std::string::npos)
        << outcome.err;
}

}  // namespace
