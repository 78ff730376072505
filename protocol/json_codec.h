#pragma once
// Control messages to and from their JSON line form.
//
// Decoding is strict about what it knows and lenient about what it does not:
// a line that is not a JSON object with a string `op`, or a known message
// whose fields have the wrong type or range, is an error (the receiver closes
// the connection); an unknown `op` and unknown fields are ignored. Invalid
// UTF-8 in the line is replaced by U+FFFD before parsing, so every decoded
// text is valid UTF-8.

#include <string>
#include <string_view>

#include "protocol/messages.h"

namespace vardo::protocol {

// The message as one JSON object followed by `\n`. Text that is not valid
// UTF-8 is written with U+FFFD in its place.
std::string encodeLine(const Message& message);
// The same for the line of every location report, without making a Message
// of it.
std::string encodeLine(const Gps& gps);
// The same into `line`, replacing its text: a line kept for it costs no
// allocation.
void encodeLine(const Gps& gps, std::string& line);

struct DecodeResult {
    enum class Status { Message, Ignored, Error };
    Status status = Status::Error;
    Message message;    // when status is Message
    std::string op;     // the `op` of an ignored line
    std::string error;  // what was wrong, for a log line

    bool ok() const { return status == Status::Message; }
};

// Decodes one line (without its `\n`).
DecodeResult decodeLine(std::string_view line);
// The same through a JSON document, without the shortcut decodeLine takes
// for the plain `gps` line: what that shortcut is held to.
DecodeResult decodeLineAsDocument(std::string_view line);

}  // namespace vardo::protocol
