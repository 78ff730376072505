#include "app/service_log.h"

#include "text/password_mask.h"

namespace app {

std::string StartedLine(const StartInfo& info) {
    return "service started: db=" + text::MaskPasswords(info.connectString) +
           " center=" + info.centerAddress + ":" + std::to_string(info.tcpPort) + "/" +
           std::to_string(info.udpPort) + " user=" + info.user;
}

std::string StoppedLine(const StopCounters& counters) {
    const db::WorkerCounters& c = counters.counted;
    return "service stopped: queued=" + std::to_string(c.queued) +
           " executed=" + std::to_string(c.executed) + " rejected=" + std::to_string(c.rejected) +
           " dropped=" + std::to_string(c.dropped) + " retried=" + std::to_string(c.retried) +
           " discarded=" + std::to_string(c.discarded) +
           (counters.journal ? " waiting=" + std::to_string(counters.waiting) : std::string());
}

std::string StartFailedLine(std::string_view reason, std::string_view detail) {
    std::string line = "service start failed: " + text::MaskPasswords(reason);
    if (!detail.empty()) {
        line += " (" + text::MaskPasswords(detail) + ")";
    }
    return line;
}

}  // namespace app
