#include "vardoappcore/session_timing.h"

#include <mutex>

namespace vardo {
namespace {

std::mutex timingMutex;
SessionTiming timing;

}  // namespace

SessionTiming sessionTiming() {
    const std::lock_guard lock(timingMutex);
    return timing;
}

void setSessionTiming(const SessionTiming& value) {
    const std::lock_guard lock(timingMutex);
    timing = value;
}

}  // namespace vardo
