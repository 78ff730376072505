#include "sim/terminal/options.h"

#include <algorithm>
#include <cmath>

#include "text/option_table.h"

namespace sim::terminal {

namespace {

// Seconds as a decimal number into milliseconds, above 0 unless `zeroOk`.
text::OptionSetter SetSeconds(std::chrono::milliseconds& out, bool zeroOk, std::string expected) {
    return [&out, zeroOk, expected](const std::string& value) -> std::string {
        double seconds = 0;
        if (!text::ParseNumber(value, seconds) || seconds < 0 || (!zeroOk && seconds == 0) ||
            seconds > 86400.0 * 365) {
            return "'" + value + "' is not " + expected;
        }
        out = std::chrono::milliseconds(std::llround(seconds * 1000));
        return {};
    };
}

// LAT,LON[,RADIUS_KM[,SPEED_KMH]] in signed degrees.
std::string SetRoute(FleetConfig& f, const std::string& value) {
    std::vector<double> parts;
    std::size_t start = 0;
    while (start <= value.size()) {
        const std::size_t comma = std::min(value.find(',', start), value.size());
        double v = 0;
        if (!text::ParseNumber(value.substr(start, comma - start), v)) {
            return "'" + value + "' is not LAT,LON[,RADIUS_KM[,SPEED_KMH]]";
        }
        parts.push_back(v);
        start = comma + 1;
    }
    if (parts.size() < 2 || parts.size() > 4 || std::fabs(parts[0]) > 89 ||
        std::fabs(parts[1]) > 180 || (parts.size() > 2 && parts[2] <= 0) ||
        (parts.size() > 3 && (parts[3] < 0 || parts[3] > 250))) {
        return "'" + value + "' is not LAT,LON[,RADIUS_KM[,SPEED_KMH]] with |LAT| <= 89, " +
               "|LON| <= 180";
    }
    f.latitude = parts[0];
    f.longitude = parts[1];
    if (parts.size() > 2) {
        f.radiusKm = parts[2];
    }
    if (parts.size() > 3) {
        f.speedKmh = parts[3];
    }
    return {};
}

// The table of every option, writing into `o`.
struct Parser {
    Options& o;
    bool south = false;
    bool west = false;
    text::OptionTable table;

    explicit Parser(Options& options)
        : o(options),
          table("usage: vardo-terminal-sim [options]",
                "Simulated vehicle terminals that connect to a center over JT/T 808.", {},
                "Prints one line per connection, registration, authentication and loss:\n"
                "  terminal 013912340000: authenticated\n") {
        using text::SetNumber;
        using text::SetSwitch;
        using text::SetText;
        FleetConfig& f = o.fleet;
        const std::vector<text::Option> rows = {
            {"--center", "HOST", "center address (127.0.0.1)", SetText(f.host)},
            {"--port", "N", "its terminal port (7611)",
             SetNumber<std::uint16_t>(f.port, 1, 65535, "a port from 1 to 65535")},
            {"--terminals", "N", "how many terminals (1)",
             SetNumber(f.terminals, 1, 100000, "a count from 1 to 100000")},
            {"--first-phone", "DIGITS",
             "phone of the first terminal; the others count up (13912340000)",
             [&f](const std::string& v) -> std::string {
                 if (v.empty() || v.size() > 20 || !std::all_of(v.begin(), v.end(), [](char c) {
                         return c >= '0' && c <= '9';
                     })) {
                     return "'" + v + "' is not up to 20 digits";
                 }
                 f.firstPhone = v;
                 return {};
             }},
            {"--protocol", "2013|2019|mixed",
             "header and body layouts (2013; mixed: every other one 2019)",
             text::SetChoice(f.protocol,
                             {{"2013", ProtocolChoice::V2013},
                              {"2019", ProtocolChoice::V2019},
                              {"mixed", ProtocolChoice::Mixed}},
                             "2013, 2019 or mixed")},
            {"--codes", "FILE",
             "keep authentication codes here; a restart then authenticates\n"
             "without registering again",
             SetText(o.codesFile)},
            {"--route", "LAT,LON[,R[,V]]",
             "circle of R km (2) around LAT,LON driven at V km/h (40);\n"
             "signed degrees, south and west negative (22.543,114.057)",
             [&f](const std::string& v) { return SetRoute(f, v); }},
            {"--south", "", "move the route's centre to the southern hemisphere", SetSwitch(south)},
            {"--west", "", "move the route's centre to the western hemisphere", SetSwitch(west)},
            {"--location-interval", "S", "seconds between location reports (10)",
             SetSeconds(f.locationInterval, false, "seconds above 0")},
            {"--heartbeat", "S", "heartbeat period when nothing else was sent (30)",
             SetSeconds(f.heartbeatInterval, false, "seconds above 0")},
            {"--alarm-rate", "N", "alarms per terminal per hour (0)",
             SetNumber(f.alarmRate, 0.0, 1e9, "alarms per terminal per hour, 0 or more")},
            {"--alarm-seconds", "S", "how long an alarm stays set (10)",
             SetSeconds(f.alarmDuration, false, "seconds above 0")},
            {"--dead-zone-every", "S", "seconds of network between dead zones (0: none)",
             SetSeconds(f.deadZoneEvery, true, "seconds, 0 for never")},
            {"--dead-zone-seconds", "S",
             "length of a dead zone (60); its reports follow as one batch",
             SetSeconds(f.deadZoneDuration, false, "seconds above 0")},
            {"--reconnect-rate", "N", "connections dropped on purpose per terminal per hour (0)",
             SetNumber(f.reconnectRate, 0.0, 1e9,
                       "dropped connections per terminal per hour, 0 or more")},
            {"--reconnect-delay", "S", "wait before reconnecting (2)",
             SetSeconds(f.reconnectDelay, false, "seconds above 0")},
            {"--answer-timeout", "S",
             "send a location report again when not answered within S\n"
             "seconds, then 2S, 3S ... (10)",
             SetSeconds(f.answerTimeout, false, "seconds above 0")},
            {"--retransmissions", "N",
             "times a report goes again before the connection is taken for\n"
             "lost; it goes once more after the next login (3)",
             SetNumber(f.retransmissions, 0, 100, "a count from 0 to 100")},
            {"--ramp", "S", "start the terminals spread over S seconds (0: all at once)",
             SetSeconds(f.ramp, true, "seconds, 0 or more")},
            {"--plate-prefix", "TEXT", "plates are TEXT + a 5-digit number (粤B)",
             SetText(f.platePrefix)},
            {"--first-plate", "N", "number of the first plate (12345)",
             SetNumber(f.firstPlateNumber, 0, 99999, "a number from 0 to 99999")},
            {"--no-driver-card", "", "send no driver identity report",
             SetSwitch(f.driverCard, false)},
            {"--auth-code", "CODE", "authenticate with CODE, never register (to try refusals)",
             SetText(f.authCode)},
            {"--skip-authentication", "", "send reports without registering or authenticating",
             SetSwitch(f.skipAuthentication)},
            {"--seconds", "S", "stop after S seconds (0: at SIGINT/SIGTERM)",
             SetNumber(o.seconds, 0.0, 1e12, "seconds, 0 for until stopped")},
            {"--media-size", "CIF|D1", "camera picture size when a center asks for video (CIF)",
             [&f](const std::string& v) -> std::string {
                 if (v == "CIF" || v == "cif") {
                     f.mediaWidth = 352;
                     f.mediaHeight = 288;
                 } else if (v == "D1" || v == "d1") {
                     f.mediaWidth = 704;
                     f.mediaHeight = 576;
                 } else {
                     return "'" + v + "' is not CIF (352x288) or D1 (704x576)";
                 }
                 return {};
             }},
            {"--media-fps", "N", "camera frames per second (25)",
             SetNumber(f.mediaFps, 1, 60, "frames per second from 1 to 60")},
            {"--media-udp", "", "send audio and video over UDP, not TCP", SetSwitch(f.mediaUdp)},
            {"--media-shared-encoder", "",
             "encode one picture per size and send it from every terminal\n"
             "(load tests of many channels; each encodes its own otherwise)",
             SetSwitch(f.mediaSharedEncoder)},
            {"--media-loss", "PCT",
             "leave out this share of media packets, to try a lossy network (0)",
             [&f](const std::string& v) -> std::string {
                 double percent = 0;
                 if (!text::ParseNumber(v, percent) || percent < 0 || percent > 100) {
                     return "'" + v + "' is not a share of packets in percent, 0 to 100";
                 }
                 f.mediaLoss = percent / 100;
                 return {};
             }},
            {"--seed", "N", "seed of the random alarms and routes (1)",
             SetNumber<std::uint64_t>(f.seed, 0, UINT64_MAX, "a number, 0 or more")},
            {"--quiet", "", "print only the summary", SetSwitch(o.quiet)},
            {"--help", "", "print this help and end", SetSwitch(o.help), "-h"},
        };
        for (const text::Option& option : rows) {
            table.add(option);
        }
    }
};

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string>& args) {
    ParsedOptions parsed;
    Parser parser(parsed.options);
    parsed.error = parser.table.parseArgs(args);
    if (parser.south) {
        parsed.options.fleet.latitude = -std::fabs(parsed.options.fleet.latitude);
    }
    if (parser.west) {
        parsed.options.fleet.longitude = -std::fabs(parsed.options.fleet.longitude);
    }
    return parsed;
}

std::string usageText() {
    Options unused;
    return Parser(unused).table.helpText();
}

}  // namespace sim::terminal
