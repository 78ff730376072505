#pragma once
// The `gps` line read straight from its bytes: the event server gets one for
// every location report of every terminal, and building a JSON document for
// each cost it more than the rest of the report. Only the plain shape the
// center writes (see gps_line.h) is read here: one object, no whitespace,
// known keys each at most once, strings without \u escapes, integers without
// sign or fraction, every value in range. Anything else, valid or not, is
// left to the document decoder, which then gives the answer; so for every
// line this reader accepts, the document decoder would give the same message.

#include <optional>
#include <string_view>

#include "protocol/messages.h"

namespace vardo::protocol {

// The message of a plain `gps` line (without its `\n`); nullopt when the
// line is anything else.
std::optional<Gps> readPlainGpsLine(std::string_view line);

}  // namespace vardo::protocol
