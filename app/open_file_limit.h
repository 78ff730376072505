#pragma once
// The number of files the process may have open. Every recording holds a
// file, every connection a socket: an alarm across hundreds of devices needs
// more than the usual soft limit of 1024, while the hard limit that systemd
// and most distributions set is far higher.

#include <cstdint>

namespace app {

struct OpenFileLimit {
    std::uint64_t soft = 0;  // now in force
    std::uint64_t hard = 0;
};

// Raises the soft limit on open files to the hard limit. Gives the limits in
// force afterwards (unchanged when the system refuses).
OpenFileLimit RaiseOpenFileLimit();

}  // namespace app
