#pragma once
// A clock that moves only when a test moves it. Steady and wall time move
// together, so a timer tick and the time a handler stamps always agree.

#include <chrono>
#include <mutex>

#include "ui/clock.h"

namespace ui::headless {
class HeadlessHost;
}

namespace testsupport {

class ManualClock final : public ui::Clock {
public:
    // 2026-12-08 16:49:52 UTC: a fixed, readable start for file names.
    static constexpr std::chrono::seconds kDefaultWallStart{1796748592};

    explicit ManualClock(std::chrono::system_clock::time_point wallStart =
                             std::chrono::system_clock::time_point(kDefaultWallStart));

    std::chrono::steady_clock::time_point SteadyNow() const override;
    std::chrono::system_clock::time_point WallNow() const override;

    void Advance(std::chrono::nanoseconds step);
    // Moves steady time to `when` (never backwards) and wall time with it.
    void AdvanceTo(std::chrono::steady_clock::time_point when);
    // Steps the wall clock alone, as a time correction would.
    void SetWall(std::chrono::system_clock::time_point wall);

private:
    mutable std::mutex mutex_;
    std::chrono::steady_clock::time_point steady_;
    std::chrono::system_clock::time_point wall_;
};

// Moves the clock forward by `span`, stopping at every timer due time on the
// way and letting the host deliver what is due there, as a running loop
// would. Gives the number of messages and ticks delivered.
std::size_t RunFor(ui::headless::HeadlessHost& host, ManualClock& clock,
                   std::chrono::nanoseconds span);

}  // namespace testsupport
