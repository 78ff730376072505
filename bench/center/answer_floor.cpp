// The least a server can spend on this machine answering a fleet's reports:
// the baseline of `bench_center_fleet --floor`. It takes every connection on
// 127.0.0.1 and answers each frame as the center does (a registration with a
// code, anything else with a general "ok"), in passes paced as the center's
// (center/pass_linger.h), and does nothing else: no registry, no journal, no
// event server, no parsing of the report's body. What the center costs
// beyond it, at each fleet size, is the center's own; what both cost at a
// small fleet and not at a large one is the price of a machine idle between
// reports (a wake-up from idle, cold caches), which no server escapes.
//
// Prints "floor: listening PORT" and runs until killed.

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "center/pass_linger.h"
#include "jt808/frame.h"
#include "jt808/frame_splitter.h"
#include "jt808/general_response.h"
#include "jt808/message_ids.h"
#include "jt808/registration.h"

namespace {

namespace msg = jt808::msg;
using Clock = std::chrono::steady_clock;

// The center's default linger.
constexpr std::chrono::microseconds kLinger{10'000};

struct Connection {
    int fd = -1;
    jt808::FrameSplitter splitter;
};

class Floor {
public:
    explicit Floor(int listener) : listener_(listener), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
        watch(listener_);
    }

    // One ready descriptor; true when it was a terminal's.
    bool handle(int fd) {
        if (fd == listener_) {
            accept();
            return false;
        }
        if (static_cast<std::size_t>(fd) >= connections_.size() || !connections_[fd]) {
            return false;
        }
        Connection& c = *connections_[fd];
        const ssize_t n = ::recv(fd, buffer_.data(), buffer_.size(), 0);
        if (n <= 0) {
            ::close(fd);
            connections_[fd].reset();
            return true;
        }
        c.splitter.append(std::span(buffer_.data(), static_cast<std::size_t>(n)));
        std::vector<std::uint8_t> frame;
        while (c.splitter.next(frame) == jt808::FrameSplitter::Status::Frame) {
            const auto decoded = jt808::decodeFrame(frame);
            if (decoded.ok()) {
                answer(fd, decoded.message->header);
            }
        }
        return true;
    }

    int epoll() const { return epoll_; }
    std::uint64_t frames() const { return frames_; }

private:
    void watch(int fd) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = fd;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e);
    }

    void accept() {
        for (;;) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                return;
            }
            if (connections_.size() <= static_cast<std::size_t>(fd)) {
                connections_.resize(static_cast<std::size_t>(fd) + 1);
            }
            connections_[fd] = std::make_unique<Connection>();
            connections_[fd]->fd = fd;
            watch(fd);
        }
    }

    void answer(int fd, const jt808::Header& request) {
        ++frames_;
        std::vector<std::uint8_t> body;
        std::uint16_t id = msg::kPlatformResponse;
        if (request.msgId == msg::kRegistration) {
            id = msg::kRegistrationResponse;
            body = jt808::encodeRegistrationResponse({request.serial, 0, "FLOOR"});
        } else {
            body = jt808::encodePlatformResponse(request.serial, request.msgId,
                                                 jt808::ResponseResult::Ok);
        }
        const auto frame = jt808::encodeFrame(jt808::replyHeader(request, id, serial_++), body);
        ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    int listener_;
    int epoll_;
    std::vector<std::unique_ptr<Connection>> connections_;  // by descriptor
    std::array<std::uint8_t, 4096> buffer_{};
    std::uint64_t frames_ = 0;
    std::uint16_t serial_ = 0;
};

}  // namespace

int main() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener, 65535) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        std::perror("floor: listen");
        return 1;
    }
    Floor floor(listener);
    std::printf("floor: listening %u\n", ntohs(address.sin_port));
    std::fflush(stdout);

    // The passes of net/run_in_passes.h on a bare epoll: block for the first
    // ready descriptor, linger, take everything ready; while passes find
    // work, the next one sleeps its linger without blocking first.
    center::PassLinger linger(
        kLinger, [&floor] { return floor.frames(); }, [] { return false; });
    std::array<epoll_event, 1024> ready{};
    bool streak = false;
    bool busy = false;
    for (;;) {
        if (!streak) {
            const int n = ::epoll_wait(floor.epoll(), ready.data(), 1, -1);
            if (n == 1) {
                floor.handle(ready[0].data.fd);
            }
        }
        const std::chrono::microseconds wait = linger();
        if (!busy) {
            std::this_thread::sleep_for(wait);
        }
        const auto handling = Clock::now();
        std::size_t handled = 0;
        for (;;) {
            const int n =
                ::epoll_wait(floor.epoll(), ready.data(), static_cast<int>(ready.size()), 0);
            for (int i = 0; i < n; ++i) {
                handled += floor.handle(ready[static_cast<std::size_t>(i)].data.fd) ? 1 : 0;
            }
            if (n < static_cast<int>(ready.size())) {
                break;
            }
        }
        busy = Clock::now() - handling >= wait;
        streak = handled > 0;
    }
}
