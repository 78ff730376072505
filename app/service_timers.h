#pragma once
// The main dialog's timers and time limits.

#include <cstdint>

#include "vardoappcore/api/win_types.h"

namespace app {

// Every second: ends due recordings, refreshes the status line, tells
// systemd's watchdog the window thread turns, and applies the retention.
inline constexpr UINT_PTR kRecordTimer = 1;
inline constexpr UINT kRecordTimerPeriodMs = 1000;

inline constexpr int kOpenTimeoutSeconds = 10;
inline constexpr std::uint32_t kStopWaitMs = 10000;
// How long a clean stop waits for the worker to store what is queued (the
// devices' offline events above all) while the database can be reached.
inline constexpr int kStopDrainMs = 5000;
// ... and gives up sooner when nothing is stored for this long.
inline constexpr int kStopStallMs = 1000;
// The retention looks at the recordings folder this often.
inline constexpr int kRetentionPeriodSeconds = 60;

}  // namespace app
