#pragma once
// The least a center must do for the simulator to run: answer registration
// with a code, authentication with a general response, and keep every
// message it receives (sub-packages put together) for the test to look at.
// It shares the test's io_context, so everything runs on the test's thread.

#include <asio.hpp>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "jt808/frame.h"

namespace sim::terminal::test {

class MiniCenter {
public:
    explicit MiniCenter(asio::io_context& io);
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

    // Messages received after authentication or registration, in order.
    std::vector<jt808::Message> received;
    int registrations = 0;
    int authentications = 0;  // successful ones
    int refusedAuthentications = 0;
    std::set<std::string> codes;  // the codes handed out
    // The next this many location reports (0x0200) get no answer, and the
    // ones after them this many a failure: a center that died before
    // answering, and one whose journal is full.
    int leaveLocationsUnanswered = 0;
    int refuseLocations = 0;

    // Closes every connection (the terminals then reconnect).
    void dropAll();

private:
    class Connection;
    void accept();

    asio::io_context& io_;
    asio::ip::tcp::acceptor acceptor_;
    std::vector<std::weak_ptr<Connection>> connections_;
};

// Runs the io_context until `done` holds or `limit` passes; returns done().
template <class Done>
bool runUntil(asio::io_context& io, Done done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
        io.run_for(std::chrono::milliseconds(10));
        if (io.stopped()) {
            io.restart();
        }
    }
    return done();
}

}  // namespace sim::terminal::test
