#include "net/batch_pace.h"

#include <algorithm>
#include <cmath>

namespace net {
namespace {

// The rate is smoothed over about this long whatever the batches' length:
// long enough that a second's noise in a fleet's reports does not swing the
// wait, short enough to follow a fleet that drops out. A rising rate is
// followed ten times as fast: a fleet that starts reporting at once (after
// the center's restart, say) would otherwise see its first second of
// answers held back as long as a thin stream's.
constexpr double kFallSeconds = 1.0;
constexpr double kRiseSeconds = 0.1;

}  // namespace

std::chrono::microseconds BatchPace::next(std::size_t items, std::chrono::nanoseconds elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (seconds > 0) {
        const double now = static_cast<double>(items) / seconds;
        const double weight =
            1.0 - std::exp(-seconds / (now > rate_ ? kRiseSeconds : kFallSeconds));
        rate_ += (now - rate_) * weight;
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
