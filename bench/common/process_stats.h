#pragma once
// What the kernel says about a child process: its CPU time and memory, read
// from /proc, for benches that measure programs they started.

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace benchproc {

// CPU seconds (user + system) of a process so far; 0 once it is gone.
inline double cpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses: fields start after the last ')'.
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::stod(f);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Resident memory in MiB.
inline double rssMiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with("VmRSS:")) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

}  // namespace benchproc
