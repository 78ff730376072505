#pragma once
// RMC sentences as a GPS receiver writes them: what the centers send for a
// device's position, and what the tests and benchmarks feed the parser.

#include <chrono>
#include <string>
#include <string_view>

namespace gps {

struct RmcFix {
    bool valid = true;     // status A; V writes no position
    double latitude = 0;   // signed degrees, north positive
    double longitude = 0;  // signed degrees, east positive
    double speedKnots = 0;
    double courseDegrees = 0;
};

// "$GPRMC,...*CS" (talker "GP") or "$GNRMC,...*CS" (talker "GN"), with the
// checksum and the UTC time and date of `when`.
std::string rmcSentence(std::string_view talker, const RmcFix& fix,
                        std::chrono::system_clock::time_point when);

}  // namespace gps
