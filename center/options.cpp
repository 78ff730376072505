#include "center/options.h"

#include <charconv>
#include <fstream>
#include <functional>
#include <map>

#include "text/ascii.h"
#include "text/option_word.h"

namespace center {
namespace {

bool parseInt(const std::string& text, long long& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && !text.empty();
}

class Parser {
public:
    explicit Parser(Options& o) : o_(o) {
        const auto port = [](int& out) {
            return [&out](const std::string& v) -> std::string {
                long long n = 0;
                if (!parseInt(v, n) || n < 0 || n > 65535) {
                    return "'" + v + "' is not a port number (0-65535)";
                }
                out = static_cast<int>(n);
                return {};
            };
        };
        const auto whole = [](int& out, long long min, long long max) {
            return [&out, min, max](const std::string& v) -> std::string {
                long long n = 0;
                if (!parseInt(v, n) || n < min || n > max) {
                    return "'" + v + "' is not a number from " + std::to_string(min) + " to " +
                           std::to_string(max);
                }
                out = static_cast<int>(n);
                return {};
            };
        };
        valued_ = {
            {"--listen",
             [this](const std::string& v) -> std::string {
                 if (v.empty()) {
                     return "needs an IP address";
                 }
                 o_.listen = v;
                 return {};
             }},
            {"--jt808-port", port(o_.jt808Port)},
            {"--tcp-port", port(o_.tcpPort)},
            {"--udp-port", port(o_.udpPort)},
            {"--media-port", port(o_.mediaPort)},
            {"--media-host",
             [this](const std::string& v) -> std::string {
                 if (v.empty() || v.size() > 255) {
                     return "needs the address terminals reach this center at";
                 }
                 o_.mediaHost = v;
                 return {};
             }},
            {"--user",
             [this](const std::string& v) -> std::string {
                 if (v.empty()) {
                     return "needs a user name";
                 }
                 user_ = v;
                 return {};
             }},
            {"--password",
             [this](const std::string& v) -> std::string {
                 password_ = v;
                 return {};
             }},
            {"--users",
             [this](const std::string& v) -> std::string {
                 usersFile_ = true;
                 return readUsersFile(v, o_.users);
             }},
            {"--data",
             [this](const std::string& v) -> std::string {
                 if (v.empty()) {
                     return "needs a folder";
                 }
                 o_.dataDir = v;
                 return {};
             }},
            {"--channels", whole(o_.channels, 1, 4)},
            {"--heartbeat-timeout",
             [this](const std::string& v) -> std::string {
                 long long n = 0;
                 if (!parseInt(v, n) || n < 1 || n > 86400) {
                     return "'" + v + "' is not a number of seconds from 1 to 86400";
                 }
                 o_.heartbeatTimeout = std::chrono::seconds(n);
                 return {};
             }},
            {"--max-terminals", whole(o_.maxTerminals, 1, 1'000'000)},
            {"--max-frame-bytes", whole(o_.maxFrameBytes, 64, 1 << 20)},
            {"--max-pending-packages", whole(o_.maxPendingPackages, 1, 65535)},
            {"--auth-failures", whole(o_.authFailureLimit, 1, 100)},
            {"--auth-timeout",
             [this](const std::string& v) -> std::string {
                 long long n = 0;
                 if (!parseInt(v, n) || n < 1 || n > 3600) {
                     return "'" + v + "' is not a number of seconds from 1 to 3600";
                 }
                 o_.authTimeout = std::chrono::seconds(n);
                 return {};
             }},
            {"--max-unauthenticated", whole(o_.maxUnauthenticated, 1, 1'000'000)},
            {"--max-unauthenticated-per-address",
             whole(o_.maxUnauthenticatedPerAddress, 1, 1'000'000)},
            {"--release",
             [this](const std::string& v) -> std::string {
                 if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos) {
                     return "'" + v + "' is not a phone number";
                 }
                 o_.release = v;
                 return {};
             }},
            {"--release-window",
             [this](const std::string& v) -> std::string {
                 long long n = 0;
                 if (!parseInt(v, n) || n < 0 || n > 365LL * 86400) {
                     return "'" + v + "' is not a number of seconds (0 for no limit)";
                 }
                 o_.releaseWindow = std::chrono::seconds(n);
                 return {};
             }},
            {"--config", [this](const std::string& v) -> std::string { return readConfig(v); }},
        };
    }

    // One option: `value` is empty when it was not joined with '='.
    std::string apply(const std::string& name, const std::optional<std::string>& value,
                      const std::vector<std::string>& args, std::size_t& i) {
        if (name == "--help" || name == "-h") {
            o_.help = true;
            return {};
        }
        if (name == "--version") {
            o_.version = true;
            return {};
        }
        if (bool* flag = name == "--open-registration"  ? &o_.openRegistration
                         : name == "--media-any-source" ? &o_.mediaAnySource
                                                        : nullptr) {
            if (!value || *value == "true" || *value == "1" || *value == "yes") {
                *flag = true;
            } else if (*value == "false" || *value == "0" || *value == "no") {
                *flag = false;
            } else {
                return name + ": '" + *value + "' is not true or false";
            }
            return {};
        }
        const auto it = valued_.find(name);
        if (it == valued_.end()) {
            return "unknown option '" + name + "'";
        }
        std::string v;
        if (value) {
            v = *value;
        } else if (i + 1 < args.size()) {
            v = args[++i];
        } else {
            return name + " needs a value";
        }
        if (std::string why = it->second(v); !why.empty()) {
            return name + ": " + why;
        }
        return {};
    }

    std::string finish() {
        if (user_ || password_) {
            if (usersFile_) {
                return "give either --user and --password or --users, not both";
            }
            if (!user_ || !password_) {
                return "--user and --password go together";
            }
            o_.users.push_back({*user_, *password_});
        }
        if (o_.users.empty()) {
            o_.users.push_back({"root", "kiwa"});
        }
        return {};
    }

private:
    // Lines "name = value" (or "name value"), names as the long options
    // without their dashes; '#' starts a comment.
    std::string readConfig(const std::string& path) {
        if (++depth_ > 4) {
            return "configuration files include each other";
        }
        std::ifstream in(path);
        if (!in) {
            return "cannot read '" + path + "'";
        }
        std::string line;
        int number = 0;
        while (std::getline(in, line)) {
            ++number;
            if (const auto hash = line.find('#'); hash != std::string::npos) {
                line.resize(hash);
            }
            line = std::string(text::TrimAscii(line));
            if (line.empty()) {
                continue;
            }
            auto split = line.find('=');
            if (split == std::string::npos) {
                split = line.find_first_of(" \t");
            }
            const std::string name = "--" + std::string(text::TrimAscii(line.substr(0, split)));
            std::optional<std::string> value;
            if (split != std::string::npos) {
                value = std::string(text::TrimAscii(line.substr(split + 1)));
            } else if (name != "--open-registration" && name != "--media-any-source") {
                return path + ":" + std::to_string(number) + ": '" + line + "' has no value";
            }
            std::vector<std::string> none;
            std::size_t i = 0;
            if (std::string why = apply(name, value, none, i); !why.empty()) {
                return path + ":" + std::to_string(number) + ": " + why;
            }
        }
        --depth_;
        return {};
    }

    Options& o_;
    std::map<std::string, std::function<std::string(const std::string&)>> valued_;
    std::optional<std::string> user_;
    std::optional<std::string> password_;
    bool usersFile_ = false;
    int depth_ = 0;
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

const char* usageText() {
    return "usage: vardo-center [options]\n"
           "The center that JT/T 808 vehicle terminals connect to and event servers log into.\n"
           "  --listen ADDR            address to listen on (0.0.0.0)\n"
           "  --jt808-port N           terminals' signalling port, 0 for any free one (7611)\n"
           "  --tcp-port N             event servers' control port (24680)\n"
           "  --udp-port N             event servers' media port (24681)\n"
           "  --media-port N           terminals' audio and video port, TCP and UDP (7612)\n"
           "  --media-host ADDR        the address terminals send media to (the --listen\n"
           "                           address; 127.0.0.1 when that is 0.0.0.0)\n"
           "  --user NAME --password PW  the event servers' login (root/kiwa)\n"
           "  --users FILE             several logins, 'NAME PASSWORD' a line\n"
           "  --data DIR               the terminal registry and allowed-terminals\n"
           "                           (/var/lib/vardo-center)\n"
           "  --open-registration      let any terminal register, not only the allowed ones\n"
           "  --channels N             camera channels announced per terminal (4)\n"
           "  --heartbeat-timeout S    drop a terminal silent for S seconds (180)\n"
           "  --max-terminals N        connections at a time (20000)\n"
           "  --max-frame-bytes N      largest terminal frame (4096)\n"
           "  --max-pending-packages N sub-packages kept per terminal (64)\n"
           "  --auth-failures N        refusals before a connection is closed (3)\n"
           "  --auth-timeout S         close a connection not authenticated S seconds\n"
           "                           after connecting (30)\n"
           "  --max-unauthenticated N  connections not yet authenticated, in all (1000)\n"
           "  --max-unauthenticated-per-address N  and from one address (32)\n"
           "  --media-any-source       take a terminal's media from any address, not only\n"
           "                           its signalling connection's (carrier NAT; see\n"
           "                           docs/jt808.md, Security)\n"
           "  --release PHONE          let a terminal that lost its code register again\n"
           "                           (in the --data registry; a running center sees it)\n"
           "  --release-window S       ... within S seconds of the release (0: no limit)\n"
           "  --config FILE            options as 'name = value' lines\n"
           "  --version, --help\n";
}

ParsedOptions parseOptions(const std::vector<std::string>& args) {
    ParsedOptions result;
    Parser parser(result.options);
    for (std::size_t i = 0; i < args.size(); ++i) {
        auto [name, value] = text::SplitOptionWord(args[i]);
        if (std::string why = parser.apply(name, value, args, i); !why.empty()) {
            result.error = why;
            return result;
        }
    }
    result.error = parser.finish();
    return result;
}

}  // namespace center
