#pragma once
// Text that came from outside (a device name, a server's reason, a line that
// could not be decoded) on its way into a log line. Such text may hold a line
// break, a terminal escape sequence or 60 kB: written raw it could forge
// whole log lines, recolour a terminal or flood the log.

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

// How much of a peer's text a log line shows, in bytes of the escaped form.
inline constexpr std::size_t kPeerTextLogBytes = 200;

// The text in single quotes, escaped so that it reads as one harmless piece
// of the line: control bytes (C0, DEL), C1 controls, bidirectional overrides
// and bytes that are not UTF-8 as \xNN, a backslash as \\ and a quote as \'.
// Other UTF-8 (names in any script) stays readable. Longer text is cut at a
// character boundary and followed by its full length:
//   'Bus 7\x0aservice stopped'
//   'AAAA...AAAA'... (60000 bytes)
std::string PeerText(std::string_view text, std::size_t maxBytes = kPeerTextLogBytes);

// A whole log line with its control bytes (C0 and DEL) as \xNN, so that one
// entry stays one line whatever a caller put into it. Everything else is
// left as it is: an already escaped piece is not escaped twice.
std::string EscapeControlBytes(std::string_view line);

}  // namespace text
