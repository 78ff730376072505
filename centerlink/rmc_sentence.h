#pragma once
// RMC sentences as a GPS receiver writes them.

#include <chrono>
#include <string>
#include <string_view>

namespace centerlink {

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

// The two hex digits of the NMEA checksum of the text between '$' and '*'.
std::string nmeaChecksum(std::string_view body);

}  // namespace centerlink
