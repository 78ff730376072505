#pragma once
// Checks of the settings fields at a start: what would make a service that
// "started" and does nothing is refused with a reason, and what works but
// not as the operator may think gets a warning.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace app {

// A port field: digits only (blanks around them allowed), 1 to 65535.
std::optional<int> ParsePort(std::string_view text);

// Why the field named `label` ("TCP Port") cannot be a port, e.g.
// "TCP Port 'abc' is no port number (1-65535)"; empty when it is one.
std::string PortProblem(std::string_view label, std::string_view text);

// The recording duration field: empty when it holds a positive number of
// seconds that fits 32 bits; otherwise a warning saying that alarms then
// record about one second (the field is still used as it is, as always).
std::string DurationWarning(std::string_view text);

// EventServer_CenterLostGraceSeconds: how long the center link may be lost
// before the devices are marked offline, 1 to 86400 (empty: 60). Text that
// is no such number keeps 60 and returns a warning naming the key.
std::string ParseCenterLostGrace(std::string_view text, std::chrono::seconds& grace);

}  // namespace app
