// The one sending half every connection of the library, the center link and
// the center uses: order, the bound against a peer that does not read, and
// what the owner hears.

#include "net/bounded_writer.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

namespace net {
namespace {

using asio::ip::tcp;

// Runs the io_context until `done` holds or a generous limit passes (the
// limit only keeps a broken build from hanging; nothing is timed).
template <class Done>
void runUntil(asio::io_context& io, Done done) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done() && std::chrono::steady_clock::now() < limit) {
        io.restart();  // a context that ran out of work has stopped
        io.run_for(std::chrono::milliseconds(5));
    }
}

// Runs what is ready, also when the context had run out of work before.
void poll(asio::io_context& io) {
    io.restart();
    io.poll();
}

struct Pair {
    explicit Pair(asio::io_context& io) : sender(io), receiver(io) {
        tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        sender.connect(acceptor.local_endpoint());
        acceptor.accept(receiver);
    }
    tcp::socket sender;
    tcp::socket receiver;
};

std::string readAll(tcp::socket& socket, std::size_t n) {
    std::string got(n, '\0');
    asio::read(socket, asio::buffer(got));
    return got;
}

TEST(BoundedWriter, SendsEveryKindOfBufferInOrderAndSaysWhenDrained) {
    asio::io_context io;
    Pair pair(io);
    int drained = 0;
    BoundedWriter writer(pair.sender, 1024,
                         {nullptr, [](const asio::error_code&) { FAIL(); }, [&] { ++drained; }});
    auto shared = std::make_shared<const std::string>("two ");
    EXPECT_TRUE(writer.send(std::string("one ")));
    EXPECT_TRUE(writer.send(shared));
    EXPECT_TRUE(writer.send(std::vector<std::uint8_t>{'t', 'h', 'r', 'e', 'e'}));
    EXPECT_TRUE(writer.send(std::string()));  // nothing to write, nothing refused
    runUntil(io, [&] { return writer.idle(); });
    EXPECT_EQ(drained, 1);
    EXPECT_EQ(writer.queuedBytes(), 0u);
    EXPECT_EQ(readAll(pair.receiver, 13), "one two three");
}

// Held messages are only queued (and count against the bound); release
// sends them all, in order, and the writer says once that it drained.
TEST(BoundedWriter, HeldMessagesLeaveTogetherAtRelease) {
    asio::io_context io;
    Pair pair(io);
    int drained = 0;
    BoundedWriter writer(pair.sender, 12,
                         {nullptr, [](const asio::error_code&) { FAIL(); }, [&] { ++drained; }});
    writer.hold();
    EXPECT_TRUE(writer.send(std::string("one ")));
    EXPECT_TRUE(writer.send(std::string("two ")));
    EXPECT_TRUE(writer.send(std::string("six")));
    EXPECT_FALSE(writer.send(std::string("ten")));  // past the bound, held or not
    poll(io);
    EXPECT_FALSE(writer.writing());
    EXPECT_FALSE(writer.idle());
    EXPECT_EQ(writer.queuedBytes(), 11u);
    EXPECT_EQ(pair.receiver.available(), 0u);
    writer.release();
    runUntil(io, [&] { return writer.idle(); });
    EXPECT_EQ(drained, 1);
    EXPECT_EQ(readAll(pair.receiver, 11), "one two six");
    // Released with nothing queued: nothing happens.
    writer.hold();
    writer.release();
    EXPECT_TRUE(writer.idle());
}

// sendNow writes at once when the writer is idle (no handler, no onDrained),
// and queues behind what is held or in flight, in order; bytes the socket
// does not take are copied (the caller's buffer is overwritten after each
// call here) and follow whole, in order, once the peer reads.
TEST(BoundedWriter, SendNowWritesAtOnceWhenIdleAndKeepsTheOrderOtherwise) {
    asio::io_context io;
    Pair pair(io);
    pair.sender.set_option(asio::socket_base::send_buffer_size(4096));
    int drained = 0;
    BoundedWriter writer(pair.sender, 64 * 1024 * 1024,
                         {nullptr, [](const asio::error_code&) { FAIL(); }, [&] { ++drained; }});
    std::vector<std::uint8_t> bytes{'o', 'n', 'e', ' '};
    EXPECT_TRUE(writer.sendNow(bytes));
    EXPECT_TRUE(writer.idle());
    EXPECT_EQ(drained, 0);
    EXPECT_EQ(readAll(pair.receiver, 4), "one ");

    writer.hold();
    bytes = {'t', 'w', 'o', ' '};
    EXPECT_TRUE(writer.sendNow(bytes));
    bytes.assign(bytes.size(), '!');
    EXPECT_EQ(writer.queuedBytes(), 4u);
    EXPECT_TRUE(writer.send(std::string("six ")));
    writer.release();  // "two six " is now in flight
    bytes = {'t', 'e', 'n', ' '};
    EXPECT_TRUE(writer.sendNow(bytes));
    bytes.assign(bytes.size(), '!');
    runUntil(io, [&] { return writer.idle(); });
    EXPECT_EQ(readAll(pair.receiver, 12), "two six ten ");

    // A peer that does not read: the socket takes part of a message, or
    // none; the rest is queued and arrives after it, before later ones.
    std::string expected;
    for (int i = 0; i < 400; ++i) {
        bytes.assign(16 * 1024, static_cast<std::uint8_t>('a' + i % 26));
        expected.append(bytes.begin(), bytes.end());
        ASSERT_TRUE(writer.sendNow(bytes));
        bytes.assign(bytes.size(), '!');
        if (!writer.idle()) {
            break;
        }
    }
    EXPECT_FALSE(writer.idle());
    bytes = {'e', 'n', 'd'};
    EXPECT_TRUE(writer.sendNow(bytes));
    expected += "end";
    std::string received;
    pair.receiver.non_blocking(true);
    std::array<char, 64 * 1024> buffer{};
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received.size() < expected.size() && std::chrono::steady_clock::now() < limit) {
        poll(io);
        asio::error_code ec;
        const std::size_t n = pair.receiver.read_some(asio::buffer(buffer), ec);
        if (!ec) {
            received.append(buffer.data(), n);
        }
    }
    runUntil(io, [&] { return writer.idle(); });
    EXPECT_TRUE(received == expected) << received.size() << " of " << expected.size();
}

TEST(BoundedWriter, RefusesWhatWouldPassTheBoundWhileThePeerDoesNotRead) {
    asio::io_context io;
    Pair pair(io);
    pair.sender.set_option(asio::socket_base::send_buffer_size(4096));
    constexpr std::size_t kBound = 256 * 1024;
    BoundedWriter writer(pair.sender, kBound, {nullptr, [](const asio::error_code&) {}, nullptr});
    const std::string block(16 * 1024, 'x');
    std::size_t accepted = 0;
    bool refused = false;
    // The kernel's buffers take some megabytes at most; past them the bytes
    // stay with the writer until the bound refuses more.
    for (int i = 0; i < 4096 && !refused; ++i) {
        refused = !writer.send(block);
        accepted += refused ? 0 : block.size();
        poll(io);
    }
    ASSERT_TRUE(refused);
    EXPECT_LE(writer.queuedBytes(), kBound);
    EXPECT_GT(writer.queuedBytes() + block.size(), kBound);

    // What was taken still arrives whole, in order, once the peer reads.
    std::size_t received = 0;
    std::array<char, 64 * 1024> buffer{};
    while (received < accepted) {
        poll(io);
        asio::error_code ec;
        pair.receiver.non_blocking(true);
        const std::size_t n = pair.receiver.read_some(asio::buffer(buffer), ec);
        if (!ec) {
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(buffer[i], 'x');
            }
            received += n;
        }
    }
    runUntil(io, [&] { return writer.idle(); });
    EXPECT_EQ(received, accepted);
}

TEST(BoundedWriter, ManySmallMessagesToASlowReaderArriveInOrderWhileMoreAreQueued) {
    asio::io_context io;
    Pair pair(io);
    pair.sender.set_option(asio::socket_base::send_buffer_size(4096));
    pair.receiver.set_option(asio::socket_base::receive_buffer_size(4096));
    BoundedWriter writer(pair.sender, 1 << 20,
                         {nullptr, [](const asio::error_code&) { FAIL(); }, nullptr});
    // Messages keep coming while the reader takes a little at a time: the
    // queue is written from its front and filled at its back for a long
    // while, never empty in between.
    std::string expected;
    std::string received;
    pair.receiver.non_blocking(true);
    std::array<char, 512> buffer{};
    int sent = 0;
    while (sent < 20000 || received.size() < expected.size()) {
        for (int i = 0; i < 200 && sent < 20000; ++i, ++sent) {
            std::string message = std::to_string(sent) + ",";
            expected += message;
            ASSERT_TRUE(writer.send(std::move(message)));
        }
        poll(io);
        asio::error_code ec;
        const std::size_t n = pair.receiver.read_some(asio::buffer(buffer), ec);
        if (!ec) {
            received.append(buffer.data(), n);
        }
    }
    EXPECT_EQ(received, expected);
    runUntil(io, [&] { return writer.idle(); });
    EXPECT_EQ(writer.queuedBytes(), 0u);
}

TEST(BoundedWriter, ReportsAFailedWriteOnceAndForgetsTheRestButNotAfterClear) {
    asio::io_context io;
    Pair pair(io);
    int errors = 0;
    BoundedWriter writer(pair.sender, 1 << 20,
                         {nullptr, [&](const asio::error_code&) { ++errors; }, nullptr});
    pair.receiver.close();
    const std::string block(64 * 1024, 'y');
    // The peer's reset shows at one of the writes that follow.
    runUntil(io, [&] {
        if (errors == 0 && writer.idle()) {
            writer.send(block);
        }
        return errors > 0;
    });
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(writer.queuedBytes(), 0u);

    // A write in flight when the owner clears it ends silently.
    Pair second(io);
    int secondErrors = 0;
    BoundedWriter cleared(second.sender, 1 << 20,
                          {nullptr, [&](const asio::error_code&) { ++secondErrors; }, nullptr});
    ASSERT_TRUE(cleared.send(block));
    cleared.clear();
    second.sender.close();
    io.restart();
    io.run();  // until the aborted write has come back
    EXPECT_EQ(secondErrors, 0);
    EXPECT_TRUE(cleared.idle());
}

}  // namespace
}  // namespace net
