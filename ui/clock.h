#pragma once
// The time source of a window host: a steady clock for timers and the wall
// clock for what the dialog stamps. Tests inject a manual clock so that they
// never sleep.

#include <chrono>

namespace ui {

class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic time; timers are due against it.
    virtual std::chrono::steady_clock::time_point SteadyNow() const = 0;
    // Calendar time (UTC).
    virtual std::chrono::system_clock::time_point WallNow() const = 0;
};

// The process's real clocks.
class SystemClock final : public Clock {
public:
    std::chrono::steady_clock::time_point SteadyNow() const override {
        return std::chrono::steady_clock::now();
    }
    std::chrono::system_clock::time_point WallNow() const override {
        return std::chrono::system_clock::now();
    }
};

// A process-wide real clock, for code that runs without a host.
Clock& DefaultClock();

}  // namespace ui
