#pragma once
// The limits and settings of the terminals' port.

#include <chrono>
#include <cstddef>
#include <string>

namespace center {

struct TerminalConfig {
    std::string listen = "0.0.0.0";
    int port = 7611;
    std::size_t maxTerminals = 20000;
    std::size_t maxFrameBytes = 4096;
    std::size_t maxPendingPackages = 64;
    int authFailureLimit = 3;
    std::chrono::milliseconds heartbeatTimeout{180'000};
    // A connection that has not authenticated this long after connecting
    // is closed, whatever it sent.
    std::chrono::milliseconds authTimeout{30'000};
    // Connections not yet authenticated, overall and from one address: a
    // flood of idle sockets from one place never keeps a terminal out.
    std::size_t maxUnauthenticated = 1000;
    std::size_t maxUnauthenticatedPerAddress = 32;
    // How often refused logins are summed up in the log, per address.
    std::chrono::milliseconds refusalLogPeriod{60'000};
    bool openRegistration = false;
    std::string allowListPath;  // DIR/allowed-terminals
    // Every connection starts with a PROXY protocol v2 header (a balancer in
    // front): the terminal's address it names counts, not the balancer's.
    bool proxyProtocol = false;
};

}  // namespace center
