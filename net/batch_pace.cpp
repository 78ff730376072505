#include "net/batch_pace.h"

#include <algorithm>
#include <cmath>

namespace net {
namespace {

// The rate is smoothed over about this long whatever the batches' length:
// long enough that a second's noise in a fleet's reports does not swing the
// wait, short enough to follow a fleet that logs in or drops out.
constexpr double kSmoothingSeconds = 1.0;

}  // namespace

std::chrono::microseconds BatchPace::next(std::size_t items, std::chrono::nanoseconds elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (seconds > 0) {
        const double weight = 1.0 - std::exp(-seconds / kSmoothingSeconds);
        rate_ += (static_cast<double>(items) / seconds - rate_) * weight;
    }
    const double longest = std::chrono::duration<double>(limits_.longest).count();
    if (rate_ * longest < limits_.fewest || limits_.longest <= limits_.shortest) {
        return limits_.shortest;
    }
    const auto filled = std::chrono::microseconds(
        static_cast<std::int64_t>(std::min(limits_.wanted / rate_, longest) * 1e6));
    return std::clamp(filled, limits_.shortest, limits_.longest);
}

}  // namespace net
