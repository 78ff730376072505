#pragma once
// Runs vardo-center as a child process for tests: on free ports, with a data
// folder of the test's choosing, its log kept.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "testsupport/process/child_process.h"

namespace e2e {

std::string centerPath();

class CenterProcess;

// Starts the center again on the ports `first` drew, on the same data folder
// and with `extraArgs`, as systemd starts a crashed one. The kernel may hold
// the ports a moment after a kill, so it tries for a few seconds; null when
// it never started.
std::unique_ptr<CenterProcess> restartCenter(const std::string& dataDir, const CenterProcess& first,
                                             std::vector<std::string> extraArgs = {});

class CenterProcess {
public:
    // Starts `vardo-center` on 127.0.0.1 and any free ports, with --data
    // `dataDir` and `extraArgs`, and waits for its "listening" line.
    // `program` is another build of it, for benchmarks that compare two
    // builds in one run.
    CenterProcess(const std::string& dataDir, std::vector<std::string> extraArgs = {},
                  const std::string& program = centerPath());
    ~CenterProcess();
    CenterProcess(const CenterProcess&) = delete;
    CenterProcess& operator=(const CenterProcess&) = delete;

    bool started() const { return jt808Port_ != 0; }
    std::uint16_t jt808Port() const { return jt808Port_; }
    std::uint16_t tcpPort() const { return tcpPort_; }
    std::uint16_t udpPort() const { return udpPort_; }
    std::uint16_t mediaPort() const { return mediaPort_; }
    pid_t pid() const { return process_->pid(); }
    // SIGTERM and wait; the exit status (-1 if it did not exit).
    int stop();
    std::string log() const { return process_->errors(); }
    bool waitForLog(const std::string& text, int count = 1) const {
        return process_->waitForErrors(text, count);
    }

private:
    std::unique_ptr<testsim::ChildProcess> process_;
    std::uint16_t jt808Port_ = 0;
    std::uint16_t tcpPort_ = 0;
    std::uint16_t udpPort_ = 0;
    std::uint16_t mediaPort_ = 0;
};

}  // namespace e2e
