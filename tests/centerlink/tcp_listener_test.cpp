// The listening socket every TCP port of the center and the simulator uses.

#include "centerlink/tcp_listener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <vector>

namespace centerlink {
namespace {

using asio::ip::tcp;

const tcp::endpoint kAnyLoopbackPort(asio::ip::make_address("127.0.0.1"), 0);

// Runs the io_context until `done` holds or a generous limit passes (the
// limit only keeps a broken build from hanging; nothing is timed).
template <class Done>
void runUntil(asio::io_context& io, Done done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < limit) {
        io.run_for(std::chrono::milliseconds(10));
    }
}

TEST(TcpListener, HandsEveryConnectionOverUntilClosed) {
    asio::io_context io;
    TcpListener listener(io);
    ASSERT_FALSE(listener.open(kAnyLoopbackPort));
    const std::uint16_t port = listener.port();
    ASSERT_NE(port, 0);
    std::vector<tcp::socket> accepted;
    listener.start([&](tcp::socket socket) { accepted.push_back(std::move(socket)); });

    std::vector<tcp::socket> clients;
    for (int i = 0; i < 3; ++i) {
        clients.emplace_back(io);
        clients.back().connect(tcp::endpoint(kAnyLoopbackPort.address(), port));
    }
    runUntil(io, [&] { return accepted.size() == clients.size(); });
    ASSERT_EQ(accepted.size(), clients.size());
    for (const auto& socket : accepted) {
        EXPECT_TRUE(socket.is_open());
    }

    listener.close();
    EXPECT_EQ(listener.port(), 0);
    tcp::socket late(io);
    asio::error_code ec;
    late.connect(tcp::endpoint(kAnyLoopbackPort.address(), port), ec);
    EXPECT_TRUE(ec) << "the closed port still took a connection";
    io.run_for(std::chrono::milliseconds(50));
    EXPECT_EQ(accepted.size(), clients.size());
}

TEST(TcpListener, APortInUseIsAnErrorNotASecondListener) {
    asio::io_context io;
    TcpListener first(io);
    ASSERT_FALSE(first.open(kAnyLoopbackPort));
    TcpListener second(io);
    const auto ec = second.open(tcp::endpoint(kAnyLoopbackPort.address(), first.port()));
    EXPECT_EQ(ec, asio::error::address_in_use) << ec.message();
}

// A listener that goes away with an accept pending must not be reached by
// the handler afterwards (ASan reports it if it is).
TEST(TcpListener, MayGoAwayWhileWaitingForAConnection) {
    asio::io_context io;
    {
        TcpListener listener(io);
        ASSERT_FALSE(listener.open(kAnyLoopbackPort));
        listener.start([](tcp::socket) { ADD_FAILURE() << "nothing connected"; });
    }
    io.run_for(std::chrono::milliseconds(50));
}

// Runs in a child process of its own, as it uses up the descriptors.
void acceptWithoutDescriptors() {
    asio::io_context io;
    TcpListener listener(io);
    if (listener.open(kAnyLoopbackPort)) {
        std::fputs("cannot listen\n", stderr);
        std::_Exit(2);
    }
    tcp::socket client(io);
    client.connect(tcp::endpoint(kAnyLoopbackPort.address(), listener.port()));
    // A low limit keeps the filling short.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 256);
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY)) >= 0;) {
        fillers.push_back(fd);
    }
    int accepted = 0;
    listener.start([&](tcp::socket) { ++accepted; });
    // Waiting, the listener tries about ten times a second; spinning, it
    // runs thousands of handlers in this time. Only an upper bound: a slow
    // machine runs fewer.
    const std::size_t handlers = io.run_for(std::chrono::milliseconds(300));
    if (accepted != 0 || handlers > 20) {
        std::fprintf(stderr, "accepted %d, %zu handlers without a free descriptor\n", accepted,
                     handlers);
        std::_Exit(3);
    }
    ::close(fillers.back());
    runUntil(io, [&] { return accepted == 1; });
    std::_Exit(accepted == 1 ? 0 : 4);
}

// Out of descriptors, a listener waits for one to come free rather than
// retrying at once (a spinning accept takes a core just when the machine is
// busiest), and takes the connection once one is free again.
TEST(TcpListenerDeathTest, OutOfDescriptorsItWaitsThenAccepts) {
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checker opens a pipe to test memory before it
    // reports, and there is none to be had here: it reports every check.
    GTEST_SKIP() << "needs free descriptors under the sanitizers";
#endif
    EXPECT_EXIT(acceptWithoutDescriptors(), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace centerlink
