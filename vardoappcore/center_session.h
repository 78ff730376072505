#pragma once
// The control connection to the center server: connect, log in, keep the
// connection alive, and connect again with back-off when it is lost, until
// the server refuses the login or the owner stops the session.
//
// Thread: the instance's I/O thread only (every member, every handler).
// Nothing here ever blocks on the peer: a dead server costs a timer, not a
// hung caller.

#include <array>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/bounded_writer.h"
#include "protocol/line_reader.h"
#include "protocol/media_datagram.h"
#include "protocol/messages.h"
#include "vardoappcore/api/vardo_app_core.h"
#include "vardoappcore/session_timing.h"

namespace vardo {

struct CenterConfig {
    std::string address;
    int tcpPort = 0;
    int udpPort = 0;
    std::string user;
    std::string password;
    SessionTiming timing;
};

class CenterSession {
public:
    class Listener {
    public:
        // login_ok; `again` when an earlier connection of this session had
        // logged in already.
        virtual void onLoggedIn(bool again, protocol::MediaKey mediaKey) = 0;
        // Every message after login_ok, in the order received. `comesAgain`:
        // an `online` of the list whose data come from events that will be
        // sent again after the list (they were not handed on before).
        virtual void onMessage(const protocol::Message& message, bool comesAgain) = 0;
        // The server refused the login, or the settings cannot work; the
        // session has stopped for good.
        virtual void onGivenUp(bool wasLoggedIn) = 0;
        // The connection's state changed (CENTER_* of the API); `reason`
        // says why an attempt failed.
        virtual void onCenterState(int state, const std::string& reason) = 0;
        // Around the lines of one read: what they give may be handed on
        // together at the end (each read holds hundreds of lines under load).
        virtual void onLinesBegin() = 0;
        virtual void onLinesEnd() = 0;

    protected:
        ~Listener() = default;
    };

    CenterSession(asio::io_context& io, Listener& listener);
    ~CenterSession();
    CenterSession(const CenterSession&) = delete;
    CenterSession& operator=(const CenterSession&) = delete;

    // Starts a new session (stopping one that runs).
    void start(CenterConfig config);
    // Ends the session: a logout is sent if the connection is up (without
    // waiting for it to leave), the socket closed, the timers cancelled.
    void stop();
    // Sends a message on a logged-in connection; false when there is none.
    bool send(const protocol::Message& message);

    bool loggedIn() const { return state_ == State::LoggedIn; }
    // The address of the server the connection goes to (media is
    // registered there); unspecified when not connected.
    asio::ip::address peerAddress() const;
    // Our end of that connection: the interface that reaches the server.
    asio::ip::address localAddress() const;
    // Connections that reached login_ok since start().
    unsigned logins() const { return logins_; }
    // The numbering agreed at the last login (0: none).
    std::uint64_t numbering() const { return numbering_; }
    // Between login_ok and the end of the online list.
    bool listing() const { return listing_; }
    // From now on events are acknowledged only up to what setDurable says.
    void ackWhenDurable() { ackWhenDurable_ = true; }
    // Every event of `epoch` up to `seq` is kept for good by the caller. Any
    // thread.
    void setDurable(std::uint64_t epoch, std::uint64_t seq);
    // Event `seq` (not of the list) made a notification, which the caller
    // will say it kept; events that made none need nothing kept, and are
    // acknowledged once every notification before them is.
    void notified(std::uint64_t seq);

private:
    enum class State { Idle, Connecting, LoggingIn, LoggedIn, Waiting, GivenUp };
    using Clock = std::chrono::steady_clock;

    void connect();
    void connectTo(const asio::ip::tcp::endpoint& endpoint);
    void lookUp(std::uint16_t port);
    void onLookedUp(std::uint64_t epoch, const std::vector<asio::ip::tcp::endpoint>& endpoints,
                    const std::string& error);
    void cancelLookup();
    void onConnected();
    void read();
    void onLine(std::string_view line);
    void write(std::string line);
    // The event numbered `seq` has been handed to the listener.
    void handled(std::uint64_t seq);
    void sendAck();
    // The highest number that may be acknowledged now.
    std::uint64_t ackable() const;
    void tick();
    void armTick();
    // Closes the connection; retries after the back-off unless given up.
    void lose(const std::string& why);
    void giveUp(const std::string& why);
    void closeSocket();
    std::string where() const;

    asio::io_context& io_;
    Listener& listener_;
    CenterConfig config_;
    asio::ip::tcp::socket socket_;
    asio::steady_timer retryTimer_;
    asio::steady_timer tickTimer_;
    State state_ = State::Idle;
    // Bumped at every connection attempt and at stop: a handler of an older
    // connection finds a different value and does nothing.
    std::uint64_t epoch_ = 0;
    // Bumped at stop and give-up, for the timers in the same way.
    std::uint64_t session_ = 0;
    std::chrono::milliseconds backoff_{0};
    Clock::time_point attemptStart_;
    Clock::time_point lastReceived_;
    Clock::time_point lastPing_;
    unsigned logins_ = 0;
    // The version the next login says: the newest, but the oldest for the
    // one attempt after a server refused the newest (a server of an older
    // release). Each new connection tries the newest again.
    int loginVersion_ = protocol::kProtocolVersion;
    // Acknowledgements: the server's numbering (0: none agreed), the last
    // event handed on and the last one acknowledged. They outlive a
    // connection, so that what a reconnect sends again is not handed on
    // twice.
    std::uint64_t numbering_ = 0;
    std::uint64_t handled_ = 0;
    std::uint64_t acknowledged_ = 0;
    bool listing_ = false;  // between login_ok and the end of the online list
    bool resumed_ = false;  // this login kept the numbering of the one before
    bool ackWhenDurable_ = false;
    // What the caller keeps for good; set from any thread.
    mutable std::mutex durableMutex_;
    std::uint64_t durableEpoch_ = 0;  // guarded by durableMutex_
    std::uint64_t durableSeq_ = 0;    // guarded by durableMutex_
    // Events of this numbering that made a notification not yet said kept,
    // oldest first (the io thread's; trimmed as they become durable).
    mutable std::deque<std::uint64_t> notified_;
    protocol::LineReader reader_;
    std::array<char, 64 * 1024> readBuffer_{};
    net::BoundedWriter writer_;
    // A name lookup in flight; its thread posts the answer while `io` is set.
    struct PendingLookup {
        std::mutex mutex;
        asio::io_context* io = nullptr;  // guarded by mutex
    };
    std::shared_ptr<PendingLookup> lookup_;
};

}  // namespace vardo
