#include "center/session_timeouts.h"

#include <algorithm>
#include <string>

#include "center/terminal_session.h"

namespace center {
namespace {

std::string durationText(std::chrono::milliseconds d) {
    return d.count() % 1000 == 0 ? std::to_string(d.count() / 1000) + " s"
                                 : std::to_string(d.count()) + " ms";
}

}  // namespace

SessionTimeouts::SessionTimeouts(asio::io_context& io, std::chrono::milliseconds heartbeat,
                                 std::chrono::milliseconds login)
    : timer_(io), heartbeat_(heartbeat), loginLimit_(login) {}

void SessionTimeouts::start() {
    running_ = true;
    arm();
}

void SessionTimeouts::stop() {
    running_ = false;
    timer_.cancel();
}

void SessionTimeouts::arm() {
    // A quarter of the shorter limit, at most a second: a connection lives
    // at most that much past its limit.
    timer_.expires_after(std::min<std::chrono::milliseconds>(
        {heartbeat_ / 4 + std::chrono::milliseconds(1),
         loginLimit_ / 4 + std::chrono::milliseconds(1), std::chrono::seconds(1)}));
    timer_.async_wait([this](const asio::error_code& error) {
        if (error || !running_) {
            return;
        }
        sweep(Clock::now());
        arm();
    });
}

void SessionTimeouts::sweep(Clock::time_point now) {
    // Each connection is taken off its list before it is closed (closing
    // takes it off the other), so each round looks at a new front.
    while (login_.front != nullptr && now - login_.front->since >= loginLimit_) {
        TerminalSession* session = login_.front->session;
        unlink(login_, *login_.front);
        session->close("not authenticated within " + durationText(loginLimit_) + " of connecting");
    }
    while (heard_.front != nullptr && now - heard_.front->since >= heartbeat_) {
        TerminalSession* session = heard_.front->session;
        unlink(heard_, *heard_.front);
        session->close("silent for " + durationText(heartbeat_) + " (heartbeat time-out)");
    }
}

void SessionTimeouts::unlink(List& list, Place& place) {
    if (!place.linked) {
        return;
    }
    (place.prev != nullptr ? place.prev->next : list.front) = place.next;
    (place.next != nullptr ? place.next->prev : list.back) = place.prev;
    place.prev = place.next = nullptr;
    place.linked = false;
}

void SessionTimeouts::moveToBack(List& list, Place& place, Clock::time_point now) {
    unlink(list, place);
    place.since = now;
    place.prev = list.back;
    place.next = nullptr;
    (list.back != nullptr ? list.back->next : list.front) = &place;
    list.back = &place;
    place.linked = true;
}

}  // namespace center
