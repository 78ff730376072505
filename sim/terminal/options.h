#pragma once
// The command line of vardo-terminal-sim.

#include <optional>
#include <string>
#include <vector>

#include "sim/terminal/fleet.h"

namespace sim::terminal {

struct Options {
    FleetConfig fleet;
    std::optional<std::string> codesFile;
    double seconds = 0;  // 0: until SIGINT/SIGTERM
    bool quiet = false;  // only the summary
    bool help = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // empty when the command line is good
};

ParsedOptions parseOptions(const std::vector<std::string>& args);

std::string usageText();

}  // namespace sim::terminal
