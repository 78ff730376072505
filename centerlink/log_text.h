#pragma once
// Text from a peer, made safe for one log line.

#include <string>
#include <string_view>

namespace centerlink {

// Control bytes (a newline that would forge a second log line, an escape
// sequence for the terminal) and backslashes become \n, \xHH or \\; the
// rest, UTF-8 included, stays. At most `limit` bytes of `text` are shown,
// then "...".
std::string printable(std::string_view text, std::size_t limit = 200);

}  // namespace centerlink
