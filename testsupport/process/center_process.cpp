#include "testsupport/process/center_process.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace e2e {

std::string centerPath() {
    return VARDO_CENTER_PATH;
}

CenterProcess::CenterProcess(const std::string& dataDir, std::vector<std::string> extraArgs,
                             const std::string& program) {
    std::vector<std::string> args{program, "--listen",     "127.0.0.1", "--jt808-port",
                                  "0",     "--tcp-port",   "0",         "--udp-port",
                                  "0",     "--media-port", "0",         "--data",
                                  dataDir};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    process_ = std::make_unique<testsim::ChildProcess>(args);
    if (!process_->waitForOutput("\n")) {
        return;
    }
    const std::string line = process_->output();
    unsigned jt808 = 0, tcp = 0, udp = 0, media = 0;
    if (std::sscanf(line.c_str(), "vardo-center: listening jt808 %u tcp %u udp %u media %u", &jt808,
                    &tcp, &udp, &media) == 4) {
        jt808Port_ = static_cast<std::uint16_t>(jt808);
        tcpPort_ = static_cast<std::uint16_t>(tcp);
        udpPort_ = static_cast<std::uint16_t>(udp);
        mediaPort_ = static_cast<std::uint16_t>(media);
    }
}

CenterProcess::~CenterProcess() {
    stop();
}

int CenterProcess::stop() {
    return process_->stop(SIGTERM);
}

std::unique_ptr<CenterProcess> restartCenter(const std::string& dataDir, const CenterProcess& first,
                                             std::vector<std::string> extraArgs) {
    const std::vector<std::string> ports{"--jt808-port", std::to_string(first.jt808Port()),
                                         "--tcp-port",   std::to_string(first.tcpPort()),
                                         "--udp-port",   std::to_string(first.udpPort()),
                                         "--media-port", std::to_string(first.mediaPort())};
    extraArgs.insert(extraArgs.end(), ports.begin(), ports.end());
    for (int attempt = 0; attempt < 20; ++attempt) {
        auto center = std::make_unique<CenterProcess>(dataDir, extraArgs);
        if (center->started()) {
            return center;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return nullptr;
}

}  // namespace e2e
