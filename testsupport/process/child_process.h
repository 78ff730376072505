#pragma once
// A program run as a child process by a test: arguments, an optional pipe to
// its standard input, its standard output and error kept in files.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace testsim {

class ChildProcess {
public:
    ChildProcess() = default;
    // Starts `args[0]` with the arguments; `environment` entries
    // ("NAME=value") are added to the test's own environment.
    explicit ChildProcess(const std::vector<std::string>& args,
                          const std::vector<std::string>& environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running();

    // Writes to the child's standard input.
    bool write(const std::string& bytes);
    void closeInput();

    // Sends `signal` and waits for the exit; the exit status, or -1 when it
    // did not exit within `limit` (it is then killed) or died of a signal.
    int stop(int signal, std::chrono::milliseconds limit = std::chrono::seconds(20));
    // Waits for the exit without a signal; -1 as above.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(20));

    std::string output() const;  // standard output so far
    std::string errors() const;  // standard error so far
    // Waits until standard output or error contains `text` `count` times.
    bool waitForOutput(const std::string& text, int count = 1,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    bool waitForErrors(const std::string& text, int count = 1,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    int stdin_ = -1;
    std::string outPath_;
    std::string errPath_;
};

// Occurrences of `needle` in `text`.
int countOf(const std::string& text, const std::string& needle);

// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);

}  // namespace testsim
