#pragma once
// A terminal's location report as the RMC sentence the event servers read.

#include <chrono>

#include "jt808/location.h"

namespace center {

// "$GPRMC,hhmmss.000,A,ddmm.mmmm,N,dddmm.mmmm,E,knots,course,ddmmyy,,,A*CS"
// at `utc` (the report's own time, turned from GMT+8 by the caller), with
// the hemispheres from the status bits; status V and no position when the
// report is not located.
std::string rmcFromLocation(const jt808::Location& report,
                            std::chrono::system_clock::time_point utc);

}  // namespace center
