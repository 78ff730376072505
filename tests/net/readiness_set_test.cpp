// The readiness set over real loopback connections: every byte a peer sends
// reaches its reader however it is cut, a reader that stops at its share is
// called again without new bytes, the peer's end is read to the end, and a
// reader removed in the middle of a round is not called again.

#include "net/readiness_set.h"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/run_in_passes.h"

namespace net {
namespace {

using asio::ip::tcp;
using namespace std::chrono_literals;

// Both ends of one loopback connection; the accepted end is read.
struct Connection {
    tcp::socket peer;
    tcp::socket read;
};

Connection Connect(asio::io_context& io) {
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    tcp::socket peer(io);
    peer.connect(acceptor.local_endpoint());
    tcp::socket read = acceptor.accept();
    read.non_blocking(true);
    return {std::move(peer), std::move(read)};
}

// Reads at most `share` bytes a call, `chunk` at a time, until would-block,
// a short read (unless the peer ended) or the end.
class CollectingReader final : public ReadinessSet::Reader {
public:
    CollectingReader(tcp::socket& socket, std::size_t chunk, std::size_t share)
        : socket_(socket), buffer_(chunk), share_(share) {}

    bool readable(bool ended) override {
        ++calls;
        endedCalls += ended ? 1 : 0;
        // A reader that keeps nothing between calls trusts the set to say
        // the end again.
        peerEnded = ended || (peerEnded && !forgetsEnd);
        std::size_t taken = 0;
        while (taken < share_) {
            asio::error_code error;
            const std::size_t n = socket_.read_some(asio::buffer(buffer_), error);
            if (error == asio::error::would_block) {
                return false;
            }
            if (error) {
                sawEnd = error == asio::error::eof;
                if (onEnd) {
                    onEnd();
                }
                return false;
            }
            bytes.append(reinterpret_cast<const char*>(buffer_.data()), n);
            taken += n;
            if (onBytes) {
                onBytes();
            }
            if (n < buffer_.size() && !peerEnded) {
                return false;
            }
        }
        return true;
    }

    std::string bytes;
    int calls = 0;
    int endedCalls = 0;
    bool forgetsEnd = false;
    bool peerEnded = false;
    bool sawEnd = false;
    std::function<void()> onBytes;
    std::function<void()> onEnd;

private:
    tcp::socket& socket_;
    std::vector<std::uint8_t> buffer_;
    std::size_t share_;
};

// Runs the context until `done` or a (generous) deadline; false on the deadline.
bool RunUntil(asio::io_context& io, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        io.restart();
        io.run_for(5ms);
    }
    return true;
}

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>('a' + i % 23);
    }
    return bytes;
}

TEST(ReadinessSet, EveryByteArrivesHoweverTheSenderCutsIt) {
    asio::io_context io(1);
    ReadinessSet set(io);
    Connection c = Connect(io);
    CollectingReader reader(c.read, 7, 1 << 20);
    ASSERT_FALSE(set.add(c.read.native_handle(), reader));
    const std::string message = Pattern(1000);
    // One byte, then odd pieces, each its own edge, each read to the end.
    std::size_t sent = 0;
    for (std::size_t piece = 1; sent < message.size(); piece = piece * 3 % 97 + 1) {
        const std::size_t n = std::min(piece, message.size() - sent);
        asio::write(c.peer, asio::buffer(message.data() + sent, n));
        sent += n;
        ASSERT_TRUE(RunUntil(io, [&] { return reader.bytes.size() == sent; }));
    }
    EXPECT_EQ(reader.bytes, message);
    set.remove(c.read.native_handle(), reader);
    EXPECT_EQ(set.size(), 0u);
    // With nothing left in the set, nothing keeps the context running.
    io.restart();
    io.run_for(1s);
    EXPECT_TRUE(io.stopped());
}

TEST(ReadinessSet, BytesWaitingWhenAddedAreRead) {
    asio::io_context io(1);
    ReadinessSet set(io);
    Connection c = Connect(io);
    asio::write(c.peer, asio::buffer(std::string("early")));
    std::this_thread::sleep_for(10ms);
    CollectingReader reader(c.read, 64, 1 << 20);
    ASSERT_FALSE(set.add(c.read.native_handle(), reader));
    ASSERT_TRUE(RunUntil(io, [&] { return reader.bytes == "early"; }));
    set.remove(c.read.native_handle(), reader);
}

TEST(ReadinessSet, AReaderStoppedAtItsShareIsCalledAgainWithoutNewBytes) {
    for (const bool inPasses : {false, true}) {
        asio::io_context io(1);
        ReadinessSet set(io);
        Connection busy = Connect(io);
        Connection quiet = Connect(io);
        // 64 bytes a call: the 64 KiB sent at once take a thousand calls,
        // and only the first has an edge of its own.
        CollectingReader busyReader(busy.read, 16, 64);
        CollectingReader quietReader(quiet.read, 64, 1 << 20);
        ASSERT_FALSE(set.add(busy.read.native_handle(), busyReader));
        ASSERT_FALSE(set.add(quiet.read.native_handle(), quietReader));
        const std::string message = Pattern(64 * 1024);
        asio::write(busy.peer, asio::buffer(message));
        asio::write(quiet.peer, asio::buffer(std::string("hello")));
        auto done = [&] {
            return busyReader.bytes.size() == message.size() && quietReader.bytes == "hello";
        };
        if (inPasses) {
            // The set re-arms its wait at the end of each pass there.
            asio::steady_timer timer(io);
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            std::function<void()> check = [&] {
                if (done() || std::chrono::steady_clock::now() > deadline) {
                    io.stop();
                    return;
                }
                timer.expires_after(1ms);
                timer.async_wait([&](const asio::error_code&) { check(); });
            };
            check();
            RunInPasses(io, 500us);
        } else {
            ASSERT_TRUE(RunUntil(io, done));
        }
        EXPECT_EQ(busyReader.bytes, message);
        EXPECT_EQ(quietReader.bytes, "hello");
        EXPECT_GE(busyReader.calls, static_cast<int>(message.size() / 64));
        // The quiet one was not kept waiting for the busy one to drain.
        EXPECT_LE(quietReader.calls, 2);
        set.remove(busy.read.native_handle(), busyReader);
        set.remove(quiet.read.native_handle(), quietReader);
    }
}

TEST(ReadinessSet, RunInPassesBytesWakeABlockedThreadWithoutAWaitOfTheSet) {
    asio::io_context io(1);
    ReadinessSet set(io);
    Connection c = Connect(io);
    CollectingReader reader(c.read, 64, 1 << 20);
    ASSERT_FALSE(set.add(c.read.native_handle(), reader));
    auto guard = asio::make_work_guard(io);
    asio::steady_timer deadline(io, 10s);
    deadline.async_wait([&](const asio::error_code& error) {
        if (!error) {
            io.stop();
        }
    });
    // Each piece is sent while the thread blocks with nothing to do: the
    // set's own wait (armed before the passes began) is used up by the
    // first, the later ones wake it through asio's reactor alone.
    std::thread sender([&] {
        for (const char* piece : {"one ", "two ", "three"}) {
            std::this_thread::sleep_for(30ms);
            asio::write(c.peer, asio::buffer(std::string(piece)));
        }
    });
    reader.onBytes = [&] {
        if (reader.bytes == "one two three") {
            deadline.cancel();
            io.stop();
        }
    };
    RunInPasses(io, 1ms);
    sender.join();
    EXPECT_EQ(reader.bytes, "one two three");
    set.remove(c.read.native_handle(), reader);
}

TEST(ReadinessSet, ThePeersEndIsReadToTheEndWithTheBytesBeforeIt) {
    asio::io_context io(1);
    ReadinessSet set(io);
    Connection c = Connect(io);
    // Everything, end included, is there before the first call: a short
    // read must not be taken for drained.
    asio::write(c.peer, asio::buffer(std::string("last words")));
    c.peer.shutdown(tcp::socket::shutdown_send);
    std::this_thread::sleep_for(10ms);
    CollectingReader reader(c.read, 64, 3);
    ASSERT_FALSE(set.add(c.read.native_handle(), reader));
    ASSERT_TRUE(RunUntil(io, [&] { return reader.sawEnd; }));
    EXPECT_EQ(reader.bytes, "last words");
    EXPECT_TRUE(reader.peerEnded);
    set.remove(c.read.native_handle(), reader);
}

// The system reports the end once; a reader that stopped at its share
// before reaching it is told again on each later turn.
TEST(ReadinessSet, ThePeersEndIsToldAgainOnEveryTurnUntilItIsRead) {
    asio::io_context io(1);
    ReadinessSet set(io);
    Connection c = Connect(io);
    const std::string message = Pattern(100'001);
    asio::write(c.peer, asio::buffer(message));
    c.peer.shutdown(tcp::socket::shutdown_send);
    std::this_thread::sleep_for(10ms);
    CollectingReader reader(c.read, 4096, 16 * 1024);
    reader.forgetsEnd = true;
    ASSERT_FALSE(set.add(c.read.native_handle(), reader));
    ASSERT_TRUE(RunUntil(io, [&] { return reader.sawEnd; })) << reader.bytes.size();
    EXPECT_EQ(reader.bytes, message);
    EXPECT_GE(reader.calls, 7);
    EXPECT_EQ(reader.endedCalls, reader.calls);
    set.remove(c.read.native_handle(), reader);
}

TEST(ReadinessSet, AReaderRemovedDuringARoundIsNotCalledAgain) {
    asio::io_context io(1);
    ReadinessSet set(io);
    Connection a = Connect(io);
    Connection b = Connect(io);
    auto readerA = std::make_unique<CollectingReader>(a.read, 64, 1 << 20);
    auto readerB = std::make_unique<CollectingReader>(b.read, 64, 1 << 20);
    ASSERT_FALSE(set.add(a.read.native_handle(), *readerA));
    ASSERT_FALSE(set.add(b.read.native_handle(), *readerB));
    // Whichever is called first closes and destroys the other, whose event
    // is already taken from the system in the same round.
    bool closedOne = false;
    auto closeOther = [&](Connection* other, std::unique_ptr<CollectingReader>* reader) {
        return [&set, &closedOne, other, reader] {
            if (closedOne) {
                return;
            }
            closedOne = true;
            set.remove(other->read.native_handle(), **reader);
            other->read.close();
            reader->reset();
        };
    };
    readerA->onBytes = closeOther(&b, &readerB);
    readerB->onBytes = closeOther(&a, &readerA);
    asio::write(a.peer, asio::buffer(std::string("one")));
    asio::write(b.peer, asio::buffer(std::string("two")));
    std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(RunUntil(io, [&] { return closedOne; }));
    io.restart();
    io.run_for(50ms);
    ASSERT_TRUE((readerA == nullptr) != (readerB == nullptr));
    CollectingReader& left = readerA ? *readerA : *readerB;
    EXPECT_EQ(left.calls, 1);
    EXPECT_EQ(set.size(), 1u);
    // The one left still hears its bytes.
    Connection& leftConnection = readerA ? a : b;
    asio::write(leftConnection.peer, asio::buffer(std::string("more")));
    ASSERT_TRUE(RunUntil(io, [&] { return left.bytes.size() == 7; }));
    set.remove(leftConnection.read.native_handle(), left);
}

TEST(ReadinessSet, AReaderRemovedWhileWaitingForItsNextTurnIsNotCalled) {
    asio::io_context io(1);
    ReadinessSet set(io);
    Connection c = Connect(io);
    auto reader = std::make_unique<CollectingReader>(c.read, 16, 16);
    ASSERT_FALSE(set.add(c.read.native_handle(), *reader));
    asio::write(c.peer, asio::buffer(Pattern(4096)));
    // Its first share read, it waits for another turn: removed then.
    bool removing = false;
    reader->onBytes = [&] {
        if (removing) {
            return;
        }
        removing = true;
        asio::post(io, [&] {
            set.remove(c.read.native_handle(), *reader);
            c.read.close();
            reader.reset();
        });
    };
    ASSERT_TRUE(RunUntil(io, [&] { return reader == nullptr; }));
    io.restart();
    io.run_for(50ms);
    EXPECT_EQ(set.size(), 0u);
}

// Many more sockets ready at once than the set takes from the system in one
// reading: asio's reactor spent every socket's edge on the one wake-up, so
// nothing but the set itself brings the thread back for the rest.
TEST(ReadinessSet, MoreReadySocketsThanOneReadingTakesAreAllRead) {
    constexpr int kSockets = 40;
    for (const bool inPasses : {false, true}) {
        SCOPED_TRACE(inPasses ? "in passes" : "run");
        asio::io_context io(1);
        ReadinessSet set(io, 4);
        std::vector<Connection> connections;
        std::vector<std::unique_ptr<CollectingReader>> readers;
        connections.reserve(kSockets);
        int complete = 0;
        for (int i = 0; i < kSockets; ++i) {
            connections.push_back(Connect(io));
            readers.push_back(std::make_unique<CollectingReader>(connections.back().read, 64, 64));
            readers.back()->onBytes = [&complete, &io, inPasses] {
                if (++complete == kSockets && inPasses) {
                    io.stop();
                }
            };
            ASSERT_FALSE(set.add(connections.back().read.native_handle(), *readers.back()));
        }
        for (Connection& c : connections) {
            asio::write(c.peer, asio::buffer(std::string("x")));
        }
        std::this_thread::sleep_for(10ms);
        if (inPasses) {
            // Nothing else happens until the deadline: the thread blocks.
            auto guard = asio::make_work_guard(io);
            asio::steady_timer deadline(io, 3s);
            deadline.async_wait([&](const asio::error_code& error) {
                if (!error) {
                    io.stop();
                }
            });
            RunInPasses(io, 500us);
        } else {
            RunUntil(io, [&] { return complete == kSockets; });
        }
        EXPECT_EQ(complete, kSockets);
        for (int i = 0; i < kSockets; ++i) {
            set.remove(connections[i].read.native_handle(), *readers[i]);
        }
    }
}

}  // namespace
}  // namespace net
