#include "tests/sim/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsim {

std::string simulatorPath() {
    return VARDO_CENTER_SIM_PATH;
}

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + needle.size())) {
        ++n;
    }
    return n;
}

SimProcess::SimProcess(std::vector<std::string> extraArgs) {
    char logTemplate[] = "/tmp/vardo-sim-log-XXXXXX";
    const int logFd = mkstemp(logTemplate);
    if (logFd < 0) {
        throw std::runtime_error("cannot create the simulator's log file");
    }
    logPath_ = logTemplate;
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create pipes");
    }
    std::vector<std::string> args = {simulatorPath(), "--script", "-"};
    bool portsGiven = false;
    for (const auto& a : extraArgs) {
        portsGiven = portsGiven || a.starts_with("--tcp-port");
    }
    if (!portsGiven) {
        args.insert(args.end(), {"--tcp-port", "0", "--udp-port", "0"});
    }
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, logFd, 2);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(logFd);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        pid_ = -1;
        throw std::runtime_error("cannot start " + simulatorPath());
    }
    stdin_ = in[1];

    // The first line on standard output names the ports.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buffer[256];
            const ssize_t n = read(out[0], buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            line.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(out[0]);
    std::smatch m;
    static const std::regex kPorts("tcp ([0-9]+) udp ([0-9]+)");
    if (!std::regex_search(line, m, kPorts)) {
        stop();
        throw std::runtime_error("the simulator did not start: " + log());
    }
    tcpPort_ = static_cast<std::uint16_t>(std::stoi(m[1]));
    udpPort_ = static_cast<std::uint16_t>(std::stoi(m[2]));
}

SimProcess::~SimProcess() {
    stop();
    if (!logPath_.empty()) {
        std::remove(logPath_.c_str());
    }
}

void SimProcess::send(const std::string& lines) {
    if (stdin_ < 0) {
        return;
    }
    std::string text = lines;
    if (text.empty() || text.back() != '\n') {
        text += '\n';
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(stdin_, text.data() + done, text.size() - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void SimProcess::closeInput() {
    if (stdin_ >= 0) {
        close(stdin_);
        stdin_ = -1;
    }
}

int SimProcess::stop() {
    closeInput();
    if (pid_ <= 0) {
        return -1;
    }
    kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SimProcess::log() const {
    std::ifstream file(logPath_);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool SimProcess::waitForLog(const std::string& text, int count,
                            std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (countOf(log(), text) < count) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace testsim
