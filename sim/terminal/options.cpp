#include "sim/terminal/options.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace sim::terminal {

namespace {

bool toNumber(const std::string& text, double& out) {
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, out);
    return r.ec == std::errc() && r.ptr == end && std::isfinite(out);
}

bool toInt(const std::string& text, long long& out) {
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, out);
    return r.ec == std::errc() && r.ptr == end;
}

std::chrono::milliseconds ms(double seconds) {
    return std::chrono::milliseconds(std::llround(seconds * 1000));
}

}  // namespace

ParsedOptions parseOptions(const std::vector<std::string>& args) {
    ParsedOptions parsed;
    Options& o = parsed.options;
    FleetConfig& f = o.fleet;
    bool south = false;
    bool west = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        auto fail = [&](const std::string& why) {
            parsed.error = name + ": " + why;
            return parsed;
        };
        if (name == "--help" || name == "-h") {
            o.help = true;
            continue;
        }
        if (name == "--quiet") {
            o.quiet = true;
            continue;
        }
        if (name == "--south") {
            south = true;
            continue;
        }
        if (name == "--west") {
            west = true;
            continue;
        }
        if (name == "--no-driver-card") {
            f.driverCard = false;
            continue;
        }
        if (name == "--skip-authentication") {
            f.skipAuthentication = true;
            continue;
        }
        if (name == "--media-udp") {
            f.mediaUdp = true;
            continue;
        }
        if (i + 1 == args.size()) {
            parsed.error =
                name.rfind("--", 0) == 0 ? name + ": needs a value" : "unknown argument " + name;
            return parsed;
        }
        const std::string& value = args[++i];
        double number = 0;
        long long integer = 0;
        const bool isNumber = toNumber(value, number);
        const bool isInt = toInt(value, integer);
        auto seconds = [&](std::chrono::milliseconds& out, bool zeroOk) {
            if (!isNumber || number < 0 || (!zeroOk && number == 0) || number > 86400 * 365) {
                return false;
            }
            out = ms(number);
            return true;
        };
        if (name == "--center") {
            f.host = value;
        } else if (name == "--port") {
            if (!isInt || integer < 1 || integer > 65535) {
                return fail("a port from 1 to 65535");
            }
            f.port = static_cast<std::uint16_t>(integer);
        } else if (name == "--terminals") {
            if (!isInt || integer < 1 || integer > 100000) {
                return fail("from 1 to 100000");
            }
            f.terminals = static_cast<int>(integer);
        } else if (name == "--first-phone") {
            if (value.empty() || value.size() > 20 ||
                !std::all_of(value.begin(), value.end(),
                             [](char c) { return c >= '0' && c <= '9'; })) {
                return fail("up to 20 digits");
            }
            f.firstPhone = value;
        } else if (name == "--protocol") {
            if (value == "2013") {
                f.protocol = ProtocolChoice::V2013;
            } else if (value == "2019") {
                f.protocol = ProtocolChoice::V2019;
            } else if (value == "mixed") {
                f.protocol = ProtocolChoice::Mixed;
            } else {
                return fail("2013, 2019 or mixed");
            }
        } else if (name == "--route") {
            // LAT,LON[,RADIUS_KM[,SPEED_KMH]] in signed degrees.
            std::vector<double> parts;
            std::size_t start = 0;
            while (start <= value.size()) {
                const std::size_t comma = std::min(value.find(',', start), value.size());
                double v = 0;
                if (!toNumber(value.substr(start, comma - start), v)) {
                    return fail("LAT,LON[,RADIUS_KM[,SPEED_KMH]]");
                }
                parts.push_back(v);
                start = comma + 1;
            }
            if (parts.size() < 2 || parts.size() > 4 || std::fabs(parts[0]) > 89 ||
                std::fabs(parts[1]) > 180 || (parts.size() > 2 && parts[2] <= 0) ||
                (parts.size() > 3 && (parts[3] < 0 || parts[3] > 250))) {
                return fail("LAT,LON[,RADIUS_KM[,SPEED_KMH]] with |LAT| <= 89, |LON| <= 180");
            }
            f.latitude = parts[0];
            f.longitude = parts[1];
            if (parts.size() > 2) {
                f.radiusKm = parts[2];
            }
            if (parts.size() > 3) {
                f.speedKmh = parts[3];
            }
        } else if (name == "--location-interval") {
            if (!seconds(f.locationInterval, false)) {
                return fail("seconds above 0");
            }
        } else if (name == "--heartbeat") {
            if (!seconds(f.heartbeatInterval, false)) {
                return fail("seconds above 0");
            }
        } else if (name == "--alarm-rate") {
            if (!isNumber || number < 0) {
                return fail("alarms per terminal per hour, 0 or more");
            }
            f.alarmRate = number;
        } else if (name == "--alarm-seconds") {
            if (!seconds(f.alarmDuration, false)) {
                return fail("seconds above 0");
            }
        } else if (name == "--dead-zone-every") {
            if (!seconds(f.deadZoneEvery, true)) {
                return fail("seconds, 0 for never");
            }
        } else if (name == "--dead-zone-seconds") {
            if (!seconds(f.deadZoneDuration, false)) {
                return fail("seconds above 0");
            }
        } else if (name == "--reconnect-rate") {
            if (!isNumber || number < 0) {
                return fail("dropped connections per terminal per hour, 0 or more");
            }
            f.reconnectRate = number;
        } else if (name == "--reconnect-delay") {
            if (!seconds(f.reconnectDelay, false)) {
                return fail("seconds above 0");
            }
        } else if (name == "--ramp") {
            if (!seconds(f.ramp, true)) {
                return fail("seconds, 0 or more");
            }
        } else if (name == "--plate-prefix") {
            f.platePrefix = value;
        } else if (name == "--first-plate") {
            if (!isInt || integer < 0 || integer > 99999) {
                return fail("from 0 to 99999");
            }
            f.firstPlateNumber = static_cast<int>(integer);
        } else if (name == "--auth-code") {
            f.authCode = value;
        } else if (name == "--codes") {
            o.codesFile = value;
        } else if (name == "--seconds") {
            if (!isNumber || number < 0) {
                return fail("seconds, 0 for until stopped");
            }
            o.seconds = number;
        } else if (name == "--media-size") {
            const std::string& v = value;
            if (v == "CIF" || v == "cif") {
                f.mediaWidth = 352;
                f.mediaHeight = 288;
            } else if (v == "D1" || v == "d1") {
                f.mediaWidth = 704;
                f.mediaHeight = 576;
            } else {
                return fail("CIF (352x288) or D1 (704x576)");
            }
        } else if (name == "--media-fps") {
            if (!isInt || integer < 1 || integer > 60) {
                return fail("frames per second from 1 to 60");
            }
            f.mediaFps = static_cast<int>(integer);
        } else if (name == "--media-loss") {
            if (!isNumber || number < 0 || number > 100) {
                return fail("a share of packets in percent, 0 to 100");
            }
            f.mediaLoss = number / 100;
        } else if (name == "--seed") {
            if (!isInt || integer < 0) {
                return fail("a number, 0 or more");
            }
            f.seed = static_cast<std::uint64_t>(integer);
        } else {
            parsed.error = "unknown option " + name;
            return parsed;
        }
    }
    if (south) {
        f.latitude = -std::fabs(f.latitude);
    }
    if (west) {
        f.longitude = -std::fabs(f.longitude);
    }
    return parsed;
}

const char* usageText() {
    return R"(usage: vardo-terminal-sim [options]
Simulated vehicle terminals that connect to a center over JT/T 808.
  --center HOST            center address (127.0.0.1)
  --port N                 its terminal port (7611)
  --terminals N            how many terminals (1)
  --first-phone DIGITS     phone of the first terminal; the others count up (13912340000)
  --protocol 2013|2019|mixed  header and body layouts (2013; mixed: every other one 2019)
  --codes FILE             keep authentication codes here; a restart then authenticates
                           without registering again
  --route LAT,LON[,R[,V]]  circle of R km (2) around LAT,LON driven at V km/h (40);
                           signed degrees, south and west negative (22.543,114.057)
  --south, --west          move the route's centre to the southern / western hemisphere
  --location-interval S    seconds between location reports (10)
  --heartbeat S            heartbeat period when nothing else was sent (30)
  --alarm-rate N           alarms per terminal per hour (0)
  --alarm-seconds S        how long an alarm stays set (10)
  --dead-zone-every S      seconds of network between dead zones (0: none)
  --dead-zone-seconds S    length of a dead zone (60); its reports follow as one batch
  --reconnect-rate N       connections dropped on purpose per terminal per hour (0)
  --reconnect-delay S      wait before reconnecting (2)
  --ramp S                 start the terminals spread over S seconds (0: all at once)
  --plate-prefix TEXT      plates are TEXT + a 5-digit number (粤B)
  --first-plate N          number of the first plate (12345)
  --no-driver-card         send no driver identity report
  --auth-code CODE         authenticate with CODE, never register (to try refusals)
  --skip-authentication    send reports without registering or authenticating
  --seconds S              stop after S seconds (0: at SIGINT/SIGTERM)
  --media-size CIF|D1      camera picture size when a center asks for video (CIF)
  --media-fps N            camera frames per second (25)
  --media-udp              send audio and video over UDP, not TCP
  --media-loss PCT         leave out this share of media packets, to try a lossy network (0)
  --seed N                 seed of the random alarms and routes (1)
  --quiet                  print only the summary
Prints one line per connection, registration, authentication and loss:
  terminal 013912340000: authenticated
)";
}

}  // namespace sim::terminal
