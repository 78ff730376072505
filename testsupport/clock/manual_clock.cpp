#include "testsupport/clock/manual_clock.h"

#include "ui/headless/headless_host.h"

namespace testsupport {

ManualClock::ManualClock(std::chrono::system_clock::time_point wallStart)
    // Steady time starts well away from the epoch so that "due" arithmetic
    // never meets zero.
    : steady_(std::chrono::hours(1000)), wall_(wallStart) {}

std::chrono::steady_clock::time_point ManualClock::SteadyNow() const {
    std::lock_guard lock(mutex_);
    return steady_;
}

std::chrono::system_clock::time_point ManualClock::WallNow() const {
    std::lock_guard lock(mutex_);
    return wall_;
}

void ManualClock::Advance(std::chrono::nanoseconds step) {
    if (step.count() <= 0) {
        return;
    }
    std::lock_guard lock(mutex_);
    steady_ += step;
    wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(step);
}

void ManualClock::AdvanceTo(std::chrono::steady_clock::time_point when) {
    std::chrono::nanoseconds step{};
    {
        std::lock_guard lock(mutex_);
        step = when - steady_;
    }
    Advance(step);
}

void ManualClock::SetWall(std::chrono::system_clock::time_point wall) {
    std::lock_guard lock(mutex_);
    wall_ = wall;
}

std::size_t RunFor(ui::headless::HeadlessHost& host, ManualClock& clock,
                   std::chrono::nanoseconds span) {
    const auto end = clock.SteadyNow() + span;
    std::size_t delivered = host.RunUntilIdle();
    while (host.IsCreated() && !host.IsEnded() && !host.IsDestroyed()) {
        const auto due = host.NextTimerDue();
        if (!due || *due > end) {
            break;
        }
        clock.AdvanceTo(*due);
        delivered += host.RunUntilIdle();
    }
    clock.AdvanceTo(end);
    delivered += host.RunUntilIdle();
    return delivered;
}

}  // namespace testsupport
