#include "center/options.h"

#include <arpa/inet.h>

#include <fstream>

#include "text/ascii.h"
#include "text/option_table.h"

namespace center {
namespace {

// A whole number of `Duration`s from min to max; `unit` names them in the
// refusal.
template <typename Duration>
text::OptionSetter SetDuration(Duration& target, long long min, long long max, const char* unit) {
    return [&target, min, max, unit](const std::string& v) -> std::string {
        long long n = 0;
        if (!text::ParseNumber(v, n) || n < min || n > max) {
            return "'" + v + "' is not a number of " + unit + " from " + std::to_string(min) +
                   " to " + std::to_string(max);
        }
        target = Duration(n);
        return {};
    };
}

text::OptionSetter SetSeconds(std::chrono::seconds& target, long long min, long long max) {
    return SetDuration(target, min, max, "seconds");
}

text::OptionSetter SetMicroseconds(std::chrono::microseconds& target, long long min,
                                   long long max) {
    return SetDuration(target, min, max, "microseconds");
}

// The table of every option, writing into `o` and the login parts.
struct Parser {
    Options& o;
    std::optional<std::string> user;
    std::optional<std::string> password;
    bool usersFile = false;
    bool configError = false;
    text::OptionTable table;

    explicit Parser(Options& options)
        : o(options),
          table("usage: vardo-center [options]",
                "The center that JT/T 808 vehicle terminals connect to and event servers log into.",
                {}) {
        using text::SetNumber;
        using text::SetPort;
        using text::SetSwitch;
        using text::SetText;
        const std::vector<text::Option> rows = {
            {"--listen", "ADDR", "address to listen on (0.0.0.0)",
             SetText(o.listen, "needs an IP address")},
            {"--jt808-port", "N", "terminals' signalling port, 0 for any free one (7611)",
             SetPort(o.jt808Port)},
            {"--tcp-port", "N", "event servers' control port (24680)", SetPort(o.tcpPort)},
            {"--udp-port", "N", "event servers' media port (24681)", SetPort(o.udpPort)},
            {"--media-port", "N", "terminals' audio and video port, TCP and UDP (7612)",
             SetPort(o.mediaPort)},
            {"--media-host", "ADDR",
             "the address terminals send media to (the --listen address;\n"
             "on 0.0.0.0 or ::, the address each terminal's connection reached)",
             [this](const std::string& v) -> std::string {
                 if (v.empty() || v.size() > 255) {
                     return "needs the address terminals reach this center at";
                 }
                 o.mediaHost = v;
                 return {};
             }},
            {"--user", "NAME",
             "the event servers' login, with --password (root/kiwa,\n"
             "on a loopback --listen address only)",
             [this](const std::string& v) -> std::string {
                 if (v.empty()) {
                     return "needs a user name";
                 }
                 user = v;
                 return {};
             }},
            {"--password", "PW", "the password of --user",
             [this](const std::string& v) -> std::string {
                 password = v;
                 return {};
             }},
            {"--users", "FILE", "several logins, 'NAME PASSWORD' a line",
             [this](const std::string& v) -> std::string {
                 usersFile = true;
                 return readUsersFile(v, o.users);
             }},
            {"--data", "DIR",
             "the terminal registry, allowed-terminals and the list of\n"
             "terminals online (/var/lib/vardo-center)",
             SetText(o.dataDir, "needs a folder")},
            {"--journal-max-mb", "N",
             "the journal under --data that keeps every event until event\n"
             "servers acknowledge it: past N MiB, location reports are refused\n"
             "(their terminals keep them and send them again); 0 turns it off,\n"
             "answering reports at once at the risk of losing them (1024)",
             SetNumber(o.journalMaxMb, 0, 1048576)},
            {"--open-registration", "", "let any terminal register, not only the allowed ones",
             SetSwitch(o.openRegistration)},
            {"--channels", "N", "camera channels announced per terminal (4)",
             SetNumber(o.channels, 1, 4)},
            {"--heartbeat-timeout", "S", "drop a terminal silent for S seconds (180)",
             SetSeconds(o.heartbeatTimeout, 1, 86400)},
            {"--max-terminals", "N", "connections at a time (20000)",
             SetNumber(o.maxTerminals, 1, 1'000'000)},
            {"--max-frame-bytes", "N", "largest terminal frame (4096)",
             SetNumber(o.maxFrameBytes, 64, 1 << 20)},
            {"--max-pending-packages", "N", "sub-packages kept per terminal (64)",
             SetNumber(o.maxPendingPackages, 1, 65535)},
            {"--auth-failures", "N", "refusals before a connection is closed (3)",
             SetNumber(o.authFailureLimit, 1, 100)},
            {"--auth-timeout", "S",
             "close a connection not authenticated S seconds after\n"
             "connecting (30)",
             SetSeconds(o.authTimeout, 1, 3600)},
            {"--max-unauthenticated", "N", "connections not yet authenticated, in all (1000)",
             SetNumber(o.maxUnauthenticated, 1, 1'000'000)},
            {"--max-unauthenticated-per-address", "N", "... and from one address (32)",
             SetNumber(o.maxUnauthenticatedPerAddress, 1, 1'000'000)},
            {"--media-any-source", "",
             "take a terminal's media from any address, not only its\n"
             "signalling connection's (carrier NAT; see docs/jt808.md, Security)",
             SetSwitch(o.mediaAnySource)},
            {"--media-quick-acks", "",
             "acknowledge every read of a terminal's media connection at\n"
             "once, as for request and answer traffic (default: delayed, as\n"
             "for any one-way stream)",
             SetSwitch(o.mediaQuickAcks)},
            {"--media-proof-timeout", "S",
             "close a media connection that has not delivered a packet of\n"
             "a stream the center asked for S seconds after connecting (10)",
             SetSeconds(o.mediaProofTimeout, 1, 3600)},
            {"--max-media-connections", "N", "terminals' media connections, in all (4096)",
             SetNumber(o.maxMediaConnections, 1, 1'000'000)},
            {"--max-unproven-media", "N",
             "media connections that have not delivered a packet of a\n"
             "stream asked for yet, in all (256)",
             SetNumber(o.maxUnprovenMedia, 1, 1'000'000)},
            {"--max-unproven-media-per-address", "N", "... and from one address (16)",
             SetNumber(o.maxUnprovenMediaPerAddress, 1, 1'000'000)},
            {"--media-stop-grace", "S",
             "drop quietly for S seconds the packets a terminal had in\n"
             "flight when told to stop a stream (5)",
             SetSeconds(o.mediaStopGrace, 0, 600)},
            {"--linger-us", "N",
             "after a wake-up, wait up to N microseconds for more to handle\n"
             "in the same pass: fewer wake-ups and journal syncs, answers up\n"
             "to N us later; up to 5N while reports come too thinly to fill\n"
             "the passes and no media is relayed; 0 handles everything the\n"
             "moment it arrives (10000)",
             SetMicroseconds(o.linger, 0, 100'000)},
            {"--sync-interval-us", "N",
             "let the journal sync at most once in N microseconds: under a\n"
             "steady stream of reports fewer syncs and wake-ups, answers up to\n"
             "N us later, up to 4N while reports come too thinly to fill the\n"
             "syncs; 0 syncs every pass's reports at once (25000)",
             SetMicroseconds(o.syncInterval, 0, 1'000'000)},
            {"--event-server-login-timeout", "S",
             "close an event server's connection whose login line is not\n"
             "complete S seconds after connecting (30)",
             SetSeconds(o.eventServerLoginTimeout, 1, 3600)},
            {"--max-event-server-logins", "N",
             "event servers' connections waiting for their login, in all (256)",
             SetNumber(o.maxEventServerLogins, 1, 100'000)},
            {"--max-event-server-logins-per-address", "N", "... and from one address (16)",
             SetNumber(o.maxEventServerLoginsPerAddress, 1, 100'000)},
            {"--free-login-failures", "N",
             "failed registrations and logins from one address before its\n"
             "further tries wait (5)",
             SetNumber(o.freeLoginFailures, 0, 1000)},
            {"--longest-login-wait", "S", "the longest such wait; it doubles from 1 s up to S (60)",
             SetSeconds(o.longestLoginWait, 1, 3600)},
            {"--proxy-protocol", "",
             "every terminal connection starts with a PROXY protocol v2\n"
             "header (HAProxy's send-proxy-v2): the terminal's address in it\n"
             "counts for the per-address limits and the login back-off",
             SetSwitch(o.proxyProtocol)},
            {"--registry", "CONNINFO",
             "keep terminals, codes and the allow-list in PostgreSQL\n"
             "(postgresql://... or 'host=... dbname=...'), shared with other\n"
             "centers; without it: registry.sqlite under --data",
             SetText(o.registry, "needs a PostgreSQL connection string")},
            {"--release", "PHONE",
             "let a terminal that lost its code register again (in the\n"
             "--data or --registry registry; a running center sees it) and end",
             [this](const std::string& v) -> std::string {
                 if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) {
                     return "'" + v + "' is not a phone number";
                 }
                 o.release = v;
                 return {};
             }},
            {"--release-window", "S", "... within S seconds of the release (0: no limit)",
             [this](const std::string& v) -> std::string {
                 long long n = 0;
                 if (!text::ParseNumber(v, n) || n < 0 || n > 365LL * 86400) {
                     return "'" + v + "' is not a number of seconds (0 for no limit)";
                 }
                 o.releaseWindow = std::chrono::seconds(n);
                 return {};
             }},
            {"--status-interval", "S",
             "seconds between status lines in the log, 0 for none;\n"
             "SIGUSR1 writes one at any time (300)",
             SetNumber(o.statusInterval, 0, 86400)},
            {"--metrics-port", "N", "serve Prometheus metrics on 127.0.0.1:N/metrics (0: off)",
             SetNumber(o.metricsPort, 0, 65535, "a port number (0-65535)")},
            {"--config", "FILE",
             "options as 'name = value' lines, names without the dashes;\n"
             "what follows on the command line wins",
             [this](const std::string& v) -> std::string {
                 std::string why = table.parseFile(v);
                 configError = configError || !why.empty();
                 return why;
             }},
            {"--list", "",
             "print the terminals online in the running center of --data\n"
             "(address, phone, plate, last report) and end",
             SetSwitch(o.list)},
            {"--version", "", "print the version and end", SetSwitch(o.version)},
            {"--help", "", "print this help and end", SetSwitch(o.help), "-h"},
        };
        for (const text::Option& option : rows) {
            table.add(option);
        }
    }

    std::string finish() {
        if (user || password) {
            if (usersFile) {
                return "give either --user and --password or --users, not both";
            }
            if (!user || !password) {
                return "--user and --password go together";
            }
            o.users.push_back({*user, *password});
        }
        if (o.users.empty()) {
            o.users.push_back({"root", "kiwa"});
            o.defaultUsers = true;
        }
        // A share above its whole would be a cap that never holds.
        const struct {
            const char* part;
            int partValue;
            const char* whole;
            int wholeValue;
        } shares[] = {
            {"--max-unproven-media-per-address", o.maxUnprovenMediaPerAddress,
             "--max-unproven-media", o.maxUnprovenMedia},
            {"--max-unproven-media", o.maxUnprovenMedia, "--max-media-connections",
             o.maxMediaConnections},
            {"--max-event-server-logins-per-address", o.maxEventServerLoginsPerAddress,
             "--max-event-server-logins", o.maxEventServerLogins},
        };
        for (const auto& s : shares) {
            if (s.partValue > s.wholeValue) {
                return std::string(s.part) + " (" + std::to_string(s.partValue) +
                       ") is more than " + s.whole + " (" + std::to_string(s.wholeValue) + ")";
            }
        }
        return {};
    }
};

}  // namespace

std::string readUsersFile(const std::string& path, std::vector<centerlink::Credentials>& users) {
    std::ifstream in(path);
    if (!in) {
        return "cannot read '" + path + "'";
    }
    std::string line;
    int number = 0;
    const std::size_t before = users.size();
    while (std::getline(in, line)) {
        ++number;
        line = std::string(text::TrimAscii(line));
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto space = line.find_first_of(" \t");
        if (space == std::string::npos) {
            return path + ":" + std::to_string(number) + ": a user needs a password";
        }
        users.push_back(
            {line.substr(0, space), std::string(text::TrimAscii(line.substr(space + 1)))});
    }
    if (users.size() == before) {
        return "'" + path + "' names no user";
    }
    return {};
}

bool isLoopbackAddress(const std::string& address) {
    if (address == "localhost") {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

std::string credentialsProblem(const Options& options) {
    if (!options.defaultUsers || isLoopbackAddress(options.listen)) {
        return {};
    }
    return "listening on " + options.listen +
           " needs the event servers' login: give --user NAME --password PW or "
           "--users FILE (or 'user = NAME' and 'password = PW' in the --config file, "
           "/etc/vardo/center.conf for the service); the default root/kiwa is for a "
           "--listen address on loopback only";
}

std::string usageText() {
    Options unused;
    return Parser(unused).table.helpText();
}

ParsedOptions parseOptions(const std::vector<std::string>& args) {
    ParsedOptions result;
    Parser parser(result.options);
    result.error = parser.table.parseArgs(args);
    result.configError = parser.configError;
    if (result.error.empty()) {
        result.error = parser.finish();
    }
    return result;
}

}  // namespace center
