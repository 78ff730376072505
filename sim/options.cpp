#include "sim/options.h"

#include "text/option_table.h"

namespace sim {
namespace {

// The table of every option, writing into `o`.
struct Parser {
    Options& o;
    bool devicesGiven = false;
    text::OptionTable table;

    explicit Parser(Options& options)
        : o(options),
          table("usage: vardo-center-sim [options]",
                "Serves the center protocol with simulated devices.", {}) {
        using text::SetNumber;
        using text::SetPort;
        using text::SetText;
        const auto rate = [](double& out, double min) {
            return SetNumber(out, min, 1e6, "a number of at least " + std::to_string(min));
        };
        const auto percent = [](double& out) {
            return SetNumber(out, 0.0, 100.0, "a percentage (0-100)");
        };
        const std::vector<text::Option> rows = {
            {"--listen", "ADDR", "address to listen on (127.0.0.1)", SetText(o.listen)},
            {"--tcp-port", "N", "control port, 0 for any free one (24680)", SetPort(o.tcpPort)},
            {"--udp-port", "N", "media port, 0 for any free one (24681)", SetPort(o.udpPort)},
            {"--user", "NAME", "user name clients log in with (root)", SetText(o.user)},
            {"--password", "TEXT", "their password (kiwa)", SetText(o.password)},
            {"--devices", "N", "random devices (20; 0 with --script)",
             [this](const std::string& v) -> std::string {
                 devicesGiven = true;
                 return SetNumber(o.devices, 0, 1'000'000, "a device count (0-1000000)")(v);
             }},
            {"--gps-interval", "SECONDS", "time between a device's GPS updates (1)",
             rate(o.gpsIntervalSeconds, 0.001)},
            {"--alarm-rate", "N", "alarms per device per hour (0.5)", rate(o.alarmRate, 0)},
            {"--churn", "N", "offline/online cycles per device per hour (0.5)", rate(o.churn, 0)},
            {"--seed", "N", "seed of the random devices (random)",
             [this](const std::string& v) -> std::string {
                 std::uint64_t n = 0;
                 if (!text::ParseNumber(v, n)) {
                     return "'" + v + "' is not a seed (a non-negative integer)";
                 }
                 o.seed = n;
                 return {};
             }},
            {"--script", "FILE", "run the commands in FILE, - for standard input",
             SetText(o.script, "needs a file name, or - for standard input")},
            {"--video-size", "WxH", "size of the cameras' pictures (352x288)",
             [this](const std::string& v) -> std::string {
                 const auto x = v.find('x');
                 int w = 0;
                 int h = 0;
                 // JPEG's 4:2:0 blocks want even sizes.
                 if (x == std::string::npos || !text::ParseNumber(v.substr(0, x), w) ||
                     !text::ParseNumber(v.substr(x + 1), h) || w < 16 || h < 16 || w > 4096 ||
                     h > 4096 || w % 2 != 0 || h % 2 != 0) {
                     return "'" + v + "' is not a size WxH (even numbers, 16-4096)";
                 }
                 o.videoWidth = w;
                 o.videoHeight = h;
                 return {};
             }},
            {"--fps", "N", "their frames per second (12)",
             SetNumber(o.fps, 1, 60, "a frame rate (1-60)")},
            {"--jpeg-quality", "N", "JPEG quantiser scale, 2 best to 31 smallest (6)",
             SetNumber(o.jpegQuality, 2, 31, "a quantiser scale (2-31)")},
            {"--media-drop", "PCT", "drop this share of media datagrams (0)",
             percent(o.mediaDropPercent)},
            {"--media-reorder", "PCT", "send this share of media datagrams late (0)",
             percent(o.mediaReorderPercent)},
            {"--picture-detail", "PCT",
             "cover this share of the picture with fine grain,\nfor camera-sized frames (0)",
             SetNumber(o.pictureDetail, 0, 100, "a percentage (0-100)")},
            {"--repeat-frames", "N",
             "encode N frames per channel number once and loop\nthem for every device: a cheap "
             "source for load\ntests (0: draw every frame)",
             SetNumber(o.repeatFrames, 0, 1000, "a frame count (0-1000)")},
            {"--version", "", "print the version and end", text::SetSwitch(o.version)},
            {"--help", "", "print this help and end", text::SetSwitch(o.help), "-h"},
        };
        for (const text::Option& option : rows) {
            table.add(option);
        }
    }
};

}  // namespace

std::string usageText() {
    Options unused;
    return Parser(unused).table.helpText();
}

ParsedOptions parseOptions(const std::vector<std::string>& args) {
    ParsedOptions result;
    Parser parser(result.options);
    result.error = parser.table.parseArgs(args);
    if (result.options.script && !parser.devicesGiven) {
        result.options.devices = 0;
    }
    return result;
}

}  // namespace sim
