// The io thread's passes: everything queued is handled, from its own sockets
// and from other threads alike, and the loop ends as io_context::run does.

#include "net/run_in_passes.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace net {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

TEST(RunInPasses, EndsWhenTheContextRunsOutOfWork) {
    for (const auto linger : {0us, 2000us}) {
        asio::io_context io(1);
        int ran = 0;
        asio::steady_timer timer(io, 1ms);
        timer.async_wait([&](const asio::error_code&) {
            ++ran;
            asio::post(io, [&] { ++ran; });
        });
        RunInPasses(io, linger);
        EXPECT_EQ(ran, 2);
        EXPECT_TRUE(io.stopped());
    }
}

TEST(RunInPasses, StopEndsItWithWorkStillOutstanding) {
    asio::io_context io(1);
    auto guard = asio::make_work_guard(io);
    asio::post(io, [&] { io.stop(); });
    RunInPasses(io, 5ms);
    EXPECT_TRUE(io.stopped());
}

TEST(RunInPasses, WhatOtherThreadsPostWhileItLingersIsHandled) {
    asio::io_context io(1);
    auto guard = asio::make_work_guard(io);
    constexpr int kTasks = 1000;
    std::atomic<int> ran{0};
    std::thread other([&] {
        for (int i = 0; i < kTasks; ++i) {
            asio::post(io, [&] {
                if (++ran == kTasks) {
                    guard.reset();
                }
            });
            if (i % 100 == 0) {
                std::this_thread::sleep_for(1ms);
            }
        }
    });
    RunInPasses(io, 2ms);
    other.join();
    EXPECT_EQ(ran.load(), kTasks);
}

// What a handler defers to the end of its pass runs after everything that
// was ready in the pass, also what became ready while the thread lingered;
// tasks deferred by deferred tasks run too, and each pass ends this way,
// with a linger and without.
TEST(RunInPasses, DeferredWorkRunsAfterEverythingReadyInThePass) {
    for (const auto linger : {0us, 5000us}) {
        asio::io_context io(1);
        PassEnd end;
        std::vector<std::string> order;
        std::thread other;
        asio::post(io, [&] {
            order.push_back("first");
            end.defer([&] {
                order.push_back("end");
                end.defer([&] { order.push_back("end of end"); });
            });
            if (linger > 0us) {
                // Arrives while the thread lingers, from elsewhere.
                other = std::thread([&] { asio::post(io, [&] { order.push_back("later"); }); });
                other.join();
            } else {
                asio::post(io, [&] { order.push_back("later"); });
            }
        });
        RunInPasses(io, linger, &end);
        EXPECT_EQ(order, (std::vector<std::string>{"first", "later", "end", "end of end"}));
    }
}

// Requests from a peer that sends the next only once the last is answered:
// each comes alone, and is answered although nothing else arrives to end
// the linger. The loop ends when the peer hangs up.
TEST(RunInPasses, ALoneRequestIsStillAnswered) {
    asio::io_context io(1);
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    constexpr int kRounds = 20;
    int answeredOk = 0;
    std::thread peer([endpoint = acceptor.local_endpoint(), &answeredOk] {
        asio::io_context own;
        tcp::socket socket(own);
        socket.connect(endpoint);
        for (int i = 0; i < kRounds; ++i) {
            const char asked = static_cast<char>('a' + i);
            char answer = 0;
            asio::write(socket, asio::buffer(&asked, 1));
            asio::error_code error;
            asio::read(socket, asio::buffer(&answer, 1), error);
            if (error || answer != asked) {
                return;
            }
            ++answeredOk;
        }
    });
    tcp::socket server(io);
    acceptor.accept(server);
    acceptor.close();
    char byte = 0;
    std::function<void()> serve = [&] {
        asio::async_read(server, asio::buffer(&byte, 1),
                         [&](const asio::error_code& error, std::size_t) {
                             if (!error) {
                                 asio::write(server, asio::buffer(&byte, 1));
                                 serve();
                             }
                         });
    };
    serve();
    RunInPasses(io, 1ms);
    peer.join();
    EXPECT_EQ(answeredOk, kRounds);
}

}  // namespace
}  // namespace net
