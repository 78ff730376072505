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
// was ready in the pass, also what became ready while the thread lingered
// (posted from another thread, as the journal's writer does), and tasks
// deferred by deferred tasks run too.
TEST(RunInPasses, DeferredWorkRunsAfterWhatArrivedDuringTheLinger) {
    asio::io_context io(1);
    std::vector<std::string> order;
    std::thread other;
    asio::post(io, [&] {
        order.push_back("first");
        AtEndOfPass(io.get_executor(), [&] {
            order.push_back("end");
            AtEndOfPass(io.get_executor(), [&] { order.push_back("end of end"); });
        });
        // Arrives while the thread lingers, from elsewhere.
        other = std::thread([&] { asio::post(io, [&] { order.push_back("later"); }); });
        other.join();
    });
    RunInPasses(io, 5000us);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "later", "end", "end of end"}));
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

// What a pass's handlers leave for its end runs once they have all run (the
// first one, and those that came while the thread lingered), in the order it
// was left, with what that work itself leaves; on a context run without
// passes it is posted and runs all the same.
TEST(RunInPasses, WorkLeftForTheEndOfAPassRunsAfterEveryHandlerOfThePass) {
    for (const auto linger : {0us, 2000us}) {
        asio::io_context io(1);
        auto guard = asio::make_work_guard(io);
        std::vector<std::string> ran;
        asio::post(io, [&] {
            ran.push_back("first");
            AtEndOfPass(io.get_executor(), [&] {
                ran.push_back("end");
                AtEndOfPass(io.get_executor(), [&] {
                    ran.push_back("end of end");
                    guard.reset();
                });
            });
        });
        asio::post(io, [&] { ran.push_back("second"); });
        asio::post(io, [&] { ran.push_back("third"); });
        RunInPasses(io, linger);
        EXPECT_EQ(ran, (std::vector<std::string>{"first", "second", "third", "end", "end of end"}))
            << linger.count() << " us";
    }
}

// A stream of work: every item is handled, and each pass's end comes after
// the items of that pass, however the passes fall.
TEST(RunInPasses, EveryPassOfAStreamEndsAfterItsWork) {
    asio::io_context io(1);
    auto guard = asio::make_work_guard(io);
    constexpr int kTasks = 300;
    int ran = 0;
    int endedAt = 0;  // items handled when the last end of a pass ran
    bool endWaiting = false;
    bool orderKept = true;
    std::thread other([&] {
        for (int i = 0; i < kTasks; ++i) {
            asio::post(io, [&] {
                ++ran;
                if (!endWaiting) {
                    endWaiting = true;
                    AtEndOfPass(io.get_executor(), [&] {
                        endWaiting = false;
                        orderKept = orderKept && ran >= endedAt;
                        endedAt = ran;
                        if (ran == kTasks) {
                            guard.reset();
                        }
                    });
                }
            });
            std::this_thread::sleep_for(100us);
        }
    });
    RunInPasses(io, 1ms);
    other.join();
    EXPECT_EQ(ran, kTasks);
    EXPECT_EQ(endedAt, kTasks);
    EXPECT_TRUE(orderKept);
}

// The linger is asked for as each pass begins, and the pass sleeps it out
// before taking what came from other threads.
TEST(RunInPasses, EachPassLingersAsLongAsItIsToldAsItBegins) {
    asio::io_context io(1);
    auto guard = asio::make_work_guard(io);
    int asked = 0;
    int passes = 0;
    int ran = 0;
    std::chrono::steady_clock::duration firstPass{};
    const auto start = std::chrono::steady_clock::now();
    asio::post(io, [&] {
        ++ran;
        std::thread other([&] {
            for (int i = 0; i < 3; ++i) {
                asio::post(io, [&] { ++ran; });
            }
        });
        other.join();
        AtEveryPassEnd(io, [&] {
            if (++passes == 1) {
                firstPass = std::chrono::steady_clock::now() - start;
            }
            if (ran == 4) {
                guard.reset();
                return false;
            }
            return true;
        });
    });
    RunInPasses(io, [&] {
        ++asked;
        return asked == 1 ? std::chrono::microseconds(100ms) : std::chrono::microseconds(1ms);
    });
    EXPECT_EQ(ran, 4);
    EXPECT_EQ(passes, 1);
    EXPECT_EQ(asked, passes);
    EXPECT_GE(firstPass, 100ms);
}

}  // namespace
}  // namespace net
