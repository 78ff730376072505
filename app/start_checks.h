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

// The UDP port field: a port as above, or 0 for a site that stores events
// and GPS fixes only and takes no media from the center.
std::optional<int> ParseMediaPort(std::string_view text);
// "UDP Port 'abc' is no port number (0-65535, 0: no media)"; empty when the
// field is one.
std::string MediaPortProblem(std::string_view label, std::string_view text);

// EventServer_OfflineAtStop: whether a clean stop writes an offline event
// for every device still online. 1/0, on/off, true/false, yes/no; empty: on
// for our own SQLite and PostgreSQL schemas, off for ODBC and SQL Server
// connection strings, whose sites' own procedures would read a stop as a
// fleet-wide outage. Other text keeps that default and sets `warning`.
bool OfflineAtStop(std::string_view setting, std::string_view connectString, std::string& warning);

// The recording duration field: empty when it holds a positive number of
// seconds that fits 32 bits; otherwise a warning saying that alarms then
// record about one second (the field is still used as it is, as always).
std::string DurationWarning(std::string_view text);

// EventServer_CenterLostGraceSeconds: how long the center link may be lost
// before the devices are marked offline, 1 to 86400 (empty: 60). Text that
// is no such number keeps 60 and returns a warning naming the key.
std::string ParseCenterLostGrace(std::string_view text, std::chrono::seconds& grace);

}  // namespace app
