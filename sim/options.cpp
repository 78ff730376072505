#include "sim/options.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <map>

#include "text/option_word.h"

namespace sim {
namespace {

template <class T>
bool parseNumber(const std::string& text, T& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

}  // namespace

const char* usageText() {
    return "usage: vardo-center-sim [options]\n"
           "Serves the center protocol with simulated devices.\n"
           "  --listen ADDR          address to listen on (127.0.0.1)\n"
           "  --tcp-port N           control port, 0 for any free one (24680)\n"
           "  --udp-port N           media port, 0 for any free one (24681)\n"
           "  --user NAME            user name clients log in with (root)\n"
           "  --password TEXT        their password (kiwa)\n"
           "  --devices N            random devices (20; 0 with --script)\n"
           "  --gps-interval SECONDS time between a device's GPS updates (1)\n"
           "  --alarm-rate N         alarms per device per hour (0.5)\n"
           "  --churn N              offline/online cycles per device per hour (0.5)\n"
           "  --seed N               seed of the random devices (random)\n"
           "  --script FILE          run the commands in FILE, - for standard input\n"
           "  --video-size WxH       size of the cameras' pictures (352x288)\n"
           "  --fps N                their frames per second (12)\n"
           "  --jpeg-quality N       JPEG quantiser scale, 2 best to 31 smallest (6)\n"
           "  --media-drop PCT       drop this share of media datagrams (0)\n"
           "  --media-reorder PCT    send this share of media datagrams late (0)\n"
           "  --picture-detail PCT   cover this share of the picture with fine grain,\n"
           "                         for camera-sized frames (0)\n"
           "  --repeat-frames N      encode N frames per channel number once and loop\n"
           "                         them for every device: a cheap source for load\n"
           "                         tests (0: draw every frame)\n"
           "  --version, --help\n";
}

ParsedOptions parseOptions(const std::vector<std::string>& args) {
    ParsedOptions result;
    Options& o = result.options;
    bool devicesGiven = false;

    const auto port = [](int& out) {
        return [&out](const std::string& v) -> std::string {
            int n = 0;
            if (!parseNumber(v, n) || n < 0 || n > 65535) {
                return "'" + v + "' is not a port number (0-65535)";
            }
            out = n;
            return {};
        };
    };
    const auto text = [](std::string& out) {
        return [&out](const std::string& v) -> std::string {
            out = v;
            return {};
        };
    };
    const auto rate = [](double& out, double min) {
        return [&out, min](const std::string& v) -> std::string {
            double d = 0;
            if (!parseNumber(v, d) || !std::isfinite(d) || d < min || d > 1e6) {
                return "'" + v + "' is not a number of at least " + std::to_string(min);
            }
            out = d;
            return {};
        };
    };

    const auto whole = [](int& out, int min, int max, const char* what) {
        return [&out, min, max, what](const std::string& v) -> std::string {
            int n = 0;
            if (!parseNumber(v, n) || n < min || n > max) {
                return "'" + v + "' is not " + what + " (" + std::to_string(min) + "-" +
                       std::to_string(max) + ")";
            }
            out = n;
            return {};
        };
    };
    const auto percent = [](double& out) {
        return [&out](const std::string& v) -> std::string {
            double d = 0;
            if (!parseNumber(v, d) || !std::isfinite(d) || d < 0 || d > 100) {
                return "'" + v + "' is not a percentage (0-100)";
            }
            out = d;
            return {};
        };
    };

    std::map<std::string, std::function<std::string(const std::string&)>> valued = {
        {"--video-size",
         [&](const std::string& v) -> std::string {
             const auto x = v.find('x');
             int w = 0;
             int h = 0;
             // JPEG's 4:2:0 blocks want even sizes.
             if (x == std::string::npos || !parseNumber(v.substr(0, x), w) ||
                 !parseNumber(v.substr(x + 1), h) || w < 16 || h < 16 || w > 4096 || h > 4096 ||
                 w % 2 != 0 || h % 2 != 0) {
                 return "'" + v + "' is not a size WxH (even numbers, 16-4096)";
             }
             o.videoWidth = w;
             o.videoHeight = h;
             return {};
         }},
        {"--fps", whole(o.fps, 1, 60, "a frame rate")},
        {"--jpeg-quality", whole(o.jpegQuality, 2, 31, "a quantiser scale")},
        {"--media-drop", percent(o.mediaDropPercent)},
        {"--media-reorder", percent(o.mediaReorderPercent)},
        {"--repeat-frames", whole(o.repeatFrames, 0, 1000, "a frame count")},
        {"--picture-detail", whole(o.pictureDetail, 0, 100, "a percentage")},
        {"--listen", text(o.listen)},
        {"--tcp-port", port(o.tcpPort)},
        {"--udp-port", port(o.udpPort)},
        {"--user", text(o.user)},
        {"--password", text(o.password)},
        {"--devices",
         [&](const std::string& v) -> std::string {
             int n = 0;
             if (!parseNumber(v, n) || n < 0 || n > 1'000'000) {
                 return "'" + v + "' is not a device count (0-1000000)";
             }
             o.devices = n;
             devicesGiven = true;
             return {};
         }},
        {"--gps-interval", rate(o.gpsIntervalSeconds, 0.001)},
        {"--alarm-rate", rate(o.alarmRate, 0)},
        {"--churn", rate(o.churn, 0)},
        {"--seed",
         [&](const std::string& v) -> std::string {
             std::uint64_t n = 0;
             if (!parseNumber(v, n)) {
                 return "'" + v + "' is not a seed (a non-negative integer)";
             }
             o.seed = n;
             return {};
         }},
        {"--script",
         [&](const std::string& v) -> std::string {
             if (v.empty()) {
                 return "needs a file name, or - for standard input";
             }
             o.script = v;
             return {};
         }},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        auto [name, value] = text::SplitOptionWord(args[i]);
        if (name == "--help" || name == "-h") {
            o.help = true;
            continue;
        }
        if (name == "--version") {
            o.version = true;
            continue;
        }
        const auto it = valued.find(name);
        if (it == valued.end()) {
            result.error = "unknown option '" + name + "'";
            return result;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                result.error = name + " needs a value";
                return result;
            }
            value = args[++i];
        }
        if (std::string why = it->second(*value); !why.empty()) {
            result.error = name + ": " + why;
            return result;
        }
    }
    if (o.script && !devicesGiven) {
        o.devices = 0;
    }
    return result;
}

}  // namespace sim
