#include "app/systemd_notify.h"

#include <systemd/sd-daemon.h>

#include <string>

namespace app {

void NotifyReady() {
    sd_notify(0, "READY=1");
}

void NotifyStatus(std::string_view line) {
    // One line: systemd takes the message as newline-separated assignments.
    std::string message = "STATUS=";
    for (const char c : line) {
        message += (c == '\n' || c == '\r') ? ' ' : c;
    }
    sd_notify(0, message.c_str());
}

void NotifyWatchdog() {
    sd_notify(0, "WATCHDOG=1");
}

void NotifyStopping() {
    sd_notify(0, "STOPPING=1");
}

}  // namespace app
