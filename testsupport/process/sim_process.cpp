#include "testsupport/process/sim_process.h"

#include <signal.h>

#include <regex>
#include <stdexcept>

namespace testsim {

std::string simulatorPath() {
    return VARDO_CENTER_SIM_PATH;
}

SimProcess::SimProcess(std::vector<std::string> extraArgs) {
    std::vector<std::string> args = {simulatorPath(), "--script", "-"};
    bool portsGiven = false;
    for (const auto& a : extraArgs) {
        portsGiven = portsGiven || a.starts_with("--tcp-port");
    }
    if (!portsGiven) {
        args.insert(args.end(), {"--tcp-port", "0", "--udp-port", "0"});
    }
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    process_ = std::make_unique<ChildProcess>(args);

    // The first line on standard output names the ports.
    process_->waitForOutput("\n");
    std::smatch m;
    static const std::regex kPorts("tcp ([0-9]+) udp ([0-9]+)");
    const std::string line = process_->output();
    if (!std::regex_search(line, m, kPorts)) {
        throw std::runtime_error("the simulator did not start: " + process_->errors());
    }
    tcpPort_ = static_cast<std::uint16_t>(std::stoi(m[1]));
    udpPort_ = static_cast<std::uint16_t>(std::stoi(m[2]));
}

SimProcess::~SimProcess() {
    stop();
}

void SimProcess::send(const std::string& lines) {
    std::string text = lines;
    if (text.empty() || text.back() != '\n') {
        text += '\n';
    }
    process_->write(text);
}

int SimProcess::stop() {
    return process_->stop(SIGTERM);
}

}  // namespace testsim
