// The media port against a flood from a second machine (127.0.0.2): idle
// sockets hold few slots and not for long, and the terminal's stream still
// gets in. And a burst larger than a turn's reads, followed at once by the
// terminal's hang-up, arrives whole before the connection lets go.

#include "center/media_port.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "jt1078/packetizer.h"
#include "testsupport/io_thread/io_thread.h"
#include "testsupport/loopback/loopback.h"

namespace center {
namespace {

using namespace std::chrono_literals;

TEST(MediaPortFlood, AThousandIdleSocketsHoldFewSlotsBrieflyAndTheStreamGetsIn) {
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < 4096 && files.rlim_max > files.rlim_cur) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    testsim::IoThread io;
    std::mutex logMutex;
    std::string log;
    MediaPortConfig config;
    config.idleLimit = 800ms;
    config.refusalLogPeriod = 400ms;
    MediaPort port(
        io.context(),
        [&](const std::string& line) {
            std::lock_guard lock(logMutex);
            log += line + "\n";
        },
        [](const jt1078::Packet& packet, const MediaSource& source) {
            return packet.header.sim == "013912344329" && source.address == "127.0.0.1"
                       ? MediaJudgement{MediaVerdict::Taken, ""}
                       : MediaJudgement{MediaVerdict::Refused, "not asked for"};
        },
        config);
    ASSERT_EQ(port.open("127.0.0.1", 0), "");
    io.start();
    const std::uint16_t number = io.call([&] { return port.port(); });

    std::vector<testsim::LineConnection> flood;
    for (int i = 0; i < 1000; ++i) {
        if (auto c = testsim::connectTo(number, "127.0.0.2"); c.valid()) {
            flood.push_back(std::move(c));
        }
    }
    EXPECT_EQ(flood.size(), 1000u);
    // The terminal's own stream, from its address, through the flood.
    auto terminalConnection = testsim::connectTo(number);
    const int terminal = terminalConnection.fd();
    ASSERT_GE(terminal, 0);
    jt1078::PacketHeader h;
    h.sim = "013912344329";
    h.channel = 1;
    h.payloadType = 98;
    std::uint16_t sequence = 0;
    const auto sendFrame = [&] {
        for (const auto& bytes :
             jt1078::packetize(h, std::vector<std::uint8_t>(500, 1), sequence)) {
            ASSERT_EQ(::send(terminal, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                      static_cast<ssize_t>(bytes.size()));
        }
    };
    for (int i = 0; i < 12; ++i) {
        sendFrame();
        std::this_thread::sleep_for(100ms);
        if (i == 1) {
            EXPECT_LE(io.call([&] { return port.connections(); }), 17u);
        }
    }
    // Past the idle limit: every socket of the flood is closed, the stream's
    // connection stays.
    for (auto& c : flood) {
        EXPECT_TRUE(c.waitClosed(10ms));
    }
    flood.clear();
    EXPECT_FALSE(terminalConnection.waitClosed(10ms));
    EXPECT_EQ(io.call([&] { return port.connections(); }), 1u);
    std::this_thread::sleep_for(500ms);
    {
        std::lock_guard lock(logMutex);
        EXPECT_NE(log.find("refused media packets and connections from 127.0.0.2"),
                  std::string::npos)
            << log;
        EXPECT_LT(std::count(log.begin(), log.end(), '\n'), 40) << "a flood must not flood the log";
    }
    terminalConnection.close();
    io.call([&] {
        port.close();
        return 0;
    });
    io.stop();
}

TEST(MediaPortStream, ABurstThenTheHangUpIsTakenWholeAndFreesTheSource) {
    testsim::IoThread io;
    int packets = 0;
    std::vector<std::uint64_t> gone;
    MediaPort port(
        io.context(), [](const std::string&) {},
        [&](const jt1078::Packet&, const MediaSource&) {
            ++packets;
            return MediaJudgement{MediaVerdict::Taken, ""};
        });
    port.setSourceGone([&](std::uint64_t id) { gone.push_back(id); });
    ASSERT_EQ(port.open("127.0.0.1", 0), "");
    io.start();
    const std::uint16_t number = io.call([&] { return port.port(); });

    // About 600 KiB in one go: more than the 16 reads of 16 KiB a
    // connection is given a turn, so it takes several turns, the last of
    // them with the hang-up already there.
    auto connection = testsim::connectTo(number);
    ASSERT_GE(connection.fd(), 0);
    jt1078::PacketHeader h;
    h.sim = "013912344329";
    h.channel = 2;
    h.payloadType = 98;
    std::uint16_t sequence = 0;
    std::vector<std::uint8_t> burst;
    int sent = 0;
    for (int frame = 0; frame < 60; ++frame) {
        for (const auto& bytes :
             jt1078::packetize(h, std::vector<std::uint8_t>(10000, frame), sequence)) {
            burst.insert(burst.end(), bytes.begin(), bytes.end());
            ++sent;
        }
    }
    ASSERT_GT(burst.size(), 16u * 16384u * 2u);
    std::size_t written = 0;
    while (written < burst.size()) {
        const ssize_t n =
            ::send(connection.fd(), burst.data() + written, burst.size() - written, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        written += static_cast<std::size_t>(n);
    }
    connection.close();

    // Wait for the source to be let go, not for the connection count to be
    // zero: the burst can be in the socket before the port has accepted it.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (io.call([&] { return gone.size(); }) == 0u &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    io.call([&] {
        EXPECT_EQ(packets, sent);
        EXPECT_EQ(port.connections(), 0u);
        EXPECT_EQ(gone.size(), 1u);
        EXPECT_EQ(port.counters().badBytes, 0u);
        port.close();
        return 0;
    });
    io.stop();
}

}  // namespace
}  // namespace center
