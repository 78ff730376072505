#pragma once
// Runs vardo-center-sim as a child process for tests: on free ports, with
// its script fed through standard input, its log kept in a file.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace testsim {

class SimProcess {
public:
    // Starts the simulator with `--script -`, any free ports unless given in
    // `extraArgs`, and waits for its "listening" line.
    explicit SimProcess(std::vector<std::string> extraArgs = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool running() const { return pid_ > 0; }
    std::uint16_t tcpPort() const { return tcpPort_; }
    std::uint16_t udpPort() const { return udpPort_; }

    // Sends script lines (a newline is added to each).
    void send(const std::string& lines);
    // Ends the script (the simulator goes on serving).
    void closeInput();
    // SIGTERM and wait; returns the exit status (-1 if it did not exit).
    int stop();
    // What the simulator wrote to standard error so far.
    std::string log() const;
    // Waits until the log contains `text` `count` times; false at the deadline.
    bool waitForLog(const std::string& text, int count = 1,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) const;

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    std::string logPath_;
    std::uint16_t tcpPort_ = 0;
    std::uint16_t udpPort_ = 0;
};

// The path of the built simulator.
std::string simulatorPath();

// Occurrences of `needle` in `text`.
int countOf(const std::string& text, const std::string& needle);

}  // namespace testsim
