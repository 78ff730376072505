#include "testsupport/process/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsim {
namespace {

std::string temporaryFile(int& fd) {
    char name[] = "/tmp/vardo-test-child-XXXXXX";
    fd = mkostemp(name, O_CLOEXEC);
    if (fd < 0) {
        throw std::runtime_error("cannot create a temporary file");
    }
    return name;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + needle.size())) {
        ++n;
    }
    return n;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

ChildProcess::ChildProcess(const std::vector<std::string>& args,
                           const std::vector<std::string>& environment) {
    int outFd = -1;
    int errFd = -1;
    outPath_ = temporaryFile(outFd);
    errPath_ = temporaryFile(errFd);
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create a pipe");
    }
    std::vector<std::string> argStrings = args;
    std::vector<char*> argv;
    for (auto& a : argStrings) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        envStrings.emplace_back(*e);
    }
    envStrings.insert(envStrings.end(), environment.begin(), environment.end());
    std::vector<char*> envp;
    for (auto& e : envStrings) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);

    // fork and exec rather than posix_spawn: the child asks to be ended with
    // its parent, so that a test binary killed by its time-out leaves no
    // simulator or event server behind. Between fork and exec the child calls
    // only async-signal-safe functions.
    int execError[2];
    if (pipe2(execError, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot create a pipe");
    }
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(in[0], 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        execve(argv[0], argv.data(), envp.data());
        const int error = errno;
        [[maybe_unused]] const auto written = ::write(execError[1], &error, sizeof error);
        _exit(127);
    }
    close(execError[1]);
    close(in[0]);
    close(outFd);
    close(errFd);
    int childError = 0;
    const bool execFailed =
        pid_ > 0 && read(execError[0], &childError, sizeof childError) == sizeof childError;
    close(execError[0]);
    if (pid_ < 0 || execFailed) {
        if (pid_ > 0) {
            waitpid(pid_, nullptr, 0);
        }
        close(in[1]);
        pid_ = -1;
        throw std::runtime_error("cannot start " + args.at(0) + ": " +
                                 std::strerror(execFailed ? childError : errno));
    }
    stdin_ = in[1];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        stop(SIGKILL, std::chrono::seconds(5));
    }
    closeInput();
    if (!outPath_.empty()) {
        std::remove(outPath_.c_str());
        std::remove(errPath_.c_str());
    }
}

bool ChildProcess::running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return false;
    }
    return true;
}

bool ChildProcess::write(const std::string& bytes) {
    std::size_t done = 0;
    while (stdin_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(stdin_, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return stdin_ >= 0;
}

void ChildProcess::closeInput() {
    if (stdin_ >= 0) {
        close(stdin_);
        stdin_ = -1;
    }
}

int ChildProcess::wait(std::chrono::milliseconds limit) {
    if (!waitUntil([this] { return !running(); }, limit)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }
    return status_;
}

int ChildProcess::stop(int signal, std::chrono::milliseconds limit) {
    if (pid_ <= 0) {
        return status_;
    }
    kill(pid_, signal);
    return wait(limit);
}

std::string ChildProcess::output() const {
    return readFile(outPath_);
}

std::string ChildProcess::errors() const {
    return readFile(errPath_);
}

bool ChildProcess::waitForOutput(const std::string& text, int count,
                                 std::chrono::milliseconds limit) const {
    return waitUntil([&] { return countOf(output(), text) >= count; }, limit);
}

bool ChildProcess::waitForErrors(const std::string& text, int count,
                                 std::chrono::milliseconds limit) const {
    return waitUntil([&] { return countOf(errors(), text) >= count; }, limit);
}

}  // namespace testsim
