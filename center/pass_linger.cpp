#include "center/pass_linger.h"

#include <utility>

namespace center {
namespace {

// Reports a pass should carry before lingering longer stops paying; and the
// fewest that the longest linger must bring for it to be worth waiting for.
constexpr double kReportsWanted = 16;
constexpr double kFewestReports = 4;

}  // namespace

PassLinger::PassLinger(std::chrono::microseconds linger, std::function<std::uint64_t()> reports,
                       std::function<bool()> relaying)
    : linger_(linger),
      pace_({linger, linger * kLongestLingers, kReportsWanted, kFewestReports}),
      reports_(std::move(reports)),
      relaying_(std::move(relaying)),
      counted_(reports_()),
      countedAt_(std::chrono::steady_clock::now()) {}

std::chrono::microseconds PassLinger::operator()() {
    const auto now = std::chrono::steady_clock::now();
    const std::uint64_t reports = reports_();
    const std::chrono::microseconds paced = pace_.next(reports - counted_, now - countedAt_);
    counted_ = reports;
    countedAt_ = now;
    return relaying_() ? linger_ : paced;
}

}  // namespace center
