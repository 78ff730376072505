#pragma once
// The `gps` line written straight into a string: every location report of
// every terminal makes one, and building a JSON document for it costs the
// center more than the rest of the report. The `online` line likewise. The bytes are those the
// document writer of json_codec.cpp gives (same field order, same escapes); text that is not
// well-formed UTF-8 is left to that writer, which repairs it.

#include <optional>
#include <string>

#include "protocol/messages.h"

namespace vardo::protocol {

// The line with its `\n`, or nullopt when a text of it is not valid UTF-8.
std::optional<std::string> gpsLine(const Gps& gps);
// The same into `line`, whose room is used again (its text is replaced);
// false, with `line` in no particular state, where the above gives nullopt.
bool gpsLine(const Gps& gps, std::string& line);

// The `online` line, written the same way: one for every login of a storm,
// and one for every device online in the list an event server gets at its
// login. nullopt when a text of it is not valid UTF-8.
std::optional<std::string> onlineLine(const Online& online);

}  // namespace vardo::protocol
