#pragma once
// What the service tells systemd when a unit of Type=notify runs it: ready,
// its status line, that its window thread still turns, and that it stops.
// Outside such a unit (no NOTIFY_SOCKET) every call does nothing.

#include <string_view>

namespace app {

void NotifyReady();
void NotifyStatus(std::string_view line);
// Sent from the window thread's timer: a wedged window thread stops it, and
// systemd's watchdog then restarts the service.
void NotifyWatchdog();
void NotifyStopping();

}  // namespace app
