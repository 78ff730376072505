#pragma once
// The time limits of every terminal connection, kept by one timer: the
// connections in the order they last sent something (for the heartbeat
// time-out) and, for those not yet authenticated, in the order their login
// time began (for the login deadline). Each list only ever gains at its
// back with the current time, so it stays ordered, and a sweep stops at the
// first connection still within its limit: the cost of a sweep is the
// connections that expire, not the connections there are.
//
// Thread: the center's io thread.

#include <asio.hpp>
#include <chrono>
#include <functional>

namespace center {

class TerminalSession;

class SessionTimeouts {
public:
    using Clock = std::chrono::steady_clock;

    // Where a connection stands in one of the lists; owned by the connection.
    struct Place {
        TerminalSession* session = nullptr;
        Place* prev = nullptr;
        Place* next = nullptr;
        Clock::time_point since{};
        bool linked = false;
    };

    // A connection past a limit is closed (TerminalSession::close), which
    // takes it off both lists.
    SessionTimeouts(asio::io_context& io, std::chrono::milliseconds heartbeat,
                    std::chrono::milliseconds login);
    SessionTimeouts(const SessionTimeouts&) = delete;
    SessionTimeouts& operator=(const SessionTimeouts&) = delete;

    void start();
    void stop();

    // The connection sent something (or just connected): its heartbeat
    // time starts again.
    void received(Place& place, Clock::time_point now) { moveToBack(heard_, place, now); }
    // The connection's login time starts (it connected, or it deregistered).
    void loginStarts(Place& place, Clock::time_point now) { moveToBack(login_, place, now); }
    // It authenticated: no login deadline any more.
    void loggedIn(Place& place) { unlink(login_, place); }
    // It closed: off both lists.
    void forget(Place& heard, Place& login) {
        unlink(heard_, heard);
        unlink(login_, login);
    }

    // Closes every connection past a limit; called by the timer.
    void sweep(Clock::time_point now);

private:
    struct List {
        Place* front = nullptr;
        Place* back = nullptr;
    };

    static void unlink(List& list, Place& place);
    static void moveToBack(List& list, Place& place, Clock::time_point now);
    void arm();

    asio::steady_timer timer_;
    std::chrono::milliseconds heartbeat_;
    std::chrono::milliseconds loginLimit_;
    List heard_;
    List login_;
    bool running_ = false;
};

}  // namespace center
