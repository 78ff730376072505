#pragma once
// The command line of vardo-center-sim.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Options {
    std::string listen = "127.0.0.1";
    int tcpPort = 24680;  // 0: any free port (printed at start)
    int udpPort = 24681;
    std::string user = "root";
    std::string password = "kiwa";
    int devices = 20;  // 0 by default when a script is given
    double gpsIntervalSeconds = 1.0;
    double alarmRate = 0.5;  // alarms per device per hour
    double churn = 0.5;      // offline/online cycles per device per hour
    std::optional<std::uint64_t> seed;
    std::optional<std::string> script;  // "-" for standard input
    // Media of the channels clients open.
    int videoWidth = 352;
    int videoHeight = 288;
    int fps = 12;
    int jpegQuality = 6;
    double mediaDropPercent = 0;
    double mediaReorderPercent = 0;
    int repeatFrames = 0;
    int pictureDetail = 0;
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // empty when the command line is good
};

ParsedOptions parseOptions(const std::vector<std::string>& args);

std::string usageText();

}  // namespace sim
