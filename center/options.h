#pragma once
// The command line and configuration file of vardo-center: one table
// (text/option_table.h) reads both and writes --help.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "centerlink/event_server_hub.h"

namespace center {

struct Options {
    std::string listen = "0.0.0.0";
    int jt808Port = 7611;  // 0: any free port (printed at start)
    int tcpPort = 24680;   // event servers' control port (their default)
    int udpPort = 24681;   // event servers' media port
    int mediaPort = 7612;  // terminals' audio and video
    // The address terminals are told to send their media to; empty: the
    // --listen address, or, on a wildcard address, the address each
    // terminal's own connection reached.
    std::string mediaHost;
    // Empty: root/kiwa, which only a center on loopback may use.
    std::vector<centerlink::Credentials> users;
    bool defaultUsers = false;  // users holds root/kiwa because none were given
    std::string dataDir = "/var/lib/vardo-center";
    // A PostgreSQL connection string (postgresql://... or key=value): the
    // registry several centers share. Empty: an SQLite file under dataDir.
    std::string registry;
    // The journal of events under --data: past this many MiB unacknowledged
    // by event servers, location reports are refused. 0: no journal (reports
    // are answered at once and a crash loses what event servers lacked).
    int journalMaxMb = 1024;
    bool openRegistration = false;
    int channels = 4;  // announced per terminal until they are queried
    // A terminal that sends nothing for this long is dropped: three
    // heartbeat periods of the usual 60 s.
    std::chrono::seconds heartbeatTimeout{180};
    int maxTerminals = 20000;
    int maxFrameBytes = 4096;     // escaped bytes between two 0x7e
    int maxPendingPackages = 64;  // sub-packages waiting per terminal
    int authFailureLimit = 3;     // refusals before the connection closes
    // A connection must authenticate this soon after connecting.
    std::chrono::seconds authTimeout{30};
    // Connections not yet authenticated: far fewer than terminals, and
    // fewer still from one address.
    int maxUnauthenticated = 1000;
    int maxUnauthenticatedPerAddress = 32;
    // Media from any address, not only the terminal's signalling one: for
    // sites whose terminals' media leaves the carrier from other addresses.
    bool mediaAnySource = false;
    // Acknowledge media bytes at every read (Linux's default for small
    // pushed segments) rather than delayed.
    bool mediaQuickAcks = false;
    // The terminals' media port: a connection must deliver a packet of a
    // stream the center asked for this soon, or it is closed; how many are
    // open, and how many of them have not delivered yet, in all and from one
    // address.
    std::chrono::seconds mediaProofTimeout{10};
    int maxMediaConnections = 4096;
    int maxUnprovenMedia = 256;
    int maxUnprovenMediaPerAddress = 16;
    // Packets of a stream the center told to stop that were in flight are
    // dropped quietly for this long.
    std::chrono::seconds mediaStopGrace{5};
    // The event servers' port: the login line must be complete this soon
    // after connecting; connections waiting for their login, in all and
    // from one address.
    std::chrono::seconds eventServerLoginTimeout{30};
    int maxEventServerLogins = 256;
    int maxEventServerLoginsPerAddress = 16;
    // Failed registrations and logins (terminals and event servers alike):
    // this many from an address are free, then its tries wait, the wait
    // doubling from a second up to this.
    int freeLoginFailures = 5;
    std::chrono::seconds longestLoginWait{60};
    // Terminals come through a balancer that sends the PROXY protocol v2.
    bool proxyProtocol = false;
    // Not empty: release this phone's code in the registry and exit.
    std::string release;
    std::chrono::seconds releaseWindow{0};  // 0: no limit
    // After a wake-up the io thread waits this long for more to handle in
    // the same pass (net/run_in_passes.h): answers leave up to this much
    // later, and a steady trickle of reports costs far fewer wake-ups and
    // journal syncs. 0: each is handled the moment it arrives. A terminal
    // waits seconds for an answer and a recording does not notice 10 ms;
    // a pass every 10 ms instead of every 2 ms is a third to half of the
    // center's CPU at 1,000 reports a second. While reports come too
    // thinly to fill the passes, up to five times as long (center/
    // pass_linger.h).
    std::chrono::microseconds linger{10000};
    // The journal's writer syncs at most once in this long (the previous
    // sync's start to the next's): under a steady stream of reports far
    // fewer syncs and wake-ups, answers up to this much later. A report
    // after a quiet spell is synced at once. 0: a sync for every pass.
    // It also bounds a terminal that waits for each answer before its next
    // report (stored positions sent one by one): 40 a second at 25 ms. While
    // the fleet's events come too thinly to fill the syncs (a thousand
    // terminals), the interval stretches up to four times itself, and such
    // a terminal gets 10 a second; alone it keeps its 40.
    std::chrono::microseconds syncInterval{25000};
    // Seconds between status lines in the log; 0: only on SIGUSR1.
    int statusInterval = 300;
    int metricsPort = 0;  // Prometheus on 127.0.0.1; 0: off
    bool list = false;    // print the running center's terminals and end
    bool help = false;
    bool version = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // empty when the command line is good
    // The mistake is in a configuration file (or the settings as a whole),
    // not in the words typed: the service's own configuration is wrong.
    bool configError = false;
};

// Reads `args` (without the program name). A --config FILE is read where it
// stands, so what follows it on the command line wins.
ParsedOptions parseOptions(const std::vector<std::string>& args);

// "NAME PASSWORD" a line; '#' starts a comment. The error text, empty when good.
std::string readUsersFile(const std::string& path, std::vector<centerlink::Credentials>& users);

// An address that only this machine reaches (127.0.0.0/8, ::1, localhost),
// where the default login cannot be abused.
bool isLoopbackAddress(const std::string& address);

// The error of a center that would face the network with the default
// login; empty when its credentials are fine.
std::string credentialsProblem(const Options& options);

std::string usageText();

}  // namespace center
