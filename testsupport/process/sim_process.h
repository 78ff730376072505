#pragma once
// Runs vardo-center-sim as a child process for tests: on free ports, with
// its script fed through standard input, its log kept.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "testsupport/process/child_process.h"

namespace testsim {

class SimProcess {
public:
    // Starts the simulator with `--script -`, any free ports unless given in
    // `extraArgs`, and waits for its "listening" line.
    explicit SimProcess(std::vector<std::string> extraArgs = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    std::uint16_t tcpPort() const { return tcpPort_; }
    std::uint16_t udpPort() const { return udpPort_; }
    pid_t pid() const { return process_->pid(); }

    // Sends script lines (a newline is added at the end when missing).
    void send(const std::string& lines);
    // Ends the script (the simulator goes on serving).
    void closeInput() { process_->closeInput(); }
    // SIGTERM and wait; the exit status (-1 if it did not exit).
    int stop();
    // What the simulator wrote to standard error so far.
    std::string log() const { return process_->errors(); }
    bool waitForLog(const std::string& text, int count = 1,
                    std::chrono::milliseconds limit = std::chrono::seconds(20)) const {
        return process_->waitForErrors(text, count, limit);
    }

private:
    std::unique_ptr<ChildProcess> process_;
    std::uint16_t tcpPort_ = 0;
    std::uint16_t udpPort_ = 0;
};

// The path of the built simulator.
std::string simulatorPath();

}  // namespace testsim
