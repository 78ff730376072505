// The link between vardo-center and the event server cut while fixes are in
// flight: a relay between the two drops its connections with what it holds,
// as a failing network would. Every numbered fix ends in the database once.

#include <gtest/gtest.h>

#include <asio.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "tests/center/test_terminal.h"
#include "tests/e2e/fix_tally.h"
#include "testsupport/io_thread/io_thread.h"
#include "testsupport/process/center_process.h"
#include "testsupport/process/event_server_run.h"

namespace e2e {
namespace {

using asio::ip::tcp;
using centertest::makeLocation;
using centertest::TestTerminal;
using namespace std::chrono_literals;

// Relays each connection to `upstream` byte for byte; cut() resets every
// connection at once, losing what is in the relay and in the sockets.
class CuttingRelay {
public:
    CuttingRelay(asio::io_context& io, std::uint16_t upstream)
        : io_(io),
          acceptor_(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)),
          upstream_(asio::ip::make_address("127.0.0.1"), upstream) {
        accept();
    }
    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
    void cut() {
        for (auto& pair : pairs_) {
            for (tcp::socket* s : {&pair->down, &pair->up}) {
                asio::error_code ec;
                s->set_option(asio::socket_base::linger(true, 0), ec);
                s->close(ec);
            }
        }
        pairs_.clear();
    }
    void close() {
        cut();
        asio::error_code ec;
        acceptor_.close(ec);
    }

private:
    struct Pair {
        explicit Pair(asio::io_context& io) : down(io), up(io) {}
        tcp::socket down, up;
        std::array<char, 8192> downBuf{}, upBuf{};
    };
    void accept() {
        auto pair = std::make_shared<Pair>(io_);
        acceptor_.async_accept(pair->down, [this, pair](const asio::error_code& error) {
            if (error) {
                return;
            }
            asio::error_code ec;
            pair->up.connect(upstream_, ec);
            if (!ec) {
                pairs_.push_back(pair);
                pump(pair, pair->down, pair->up, pair->downBuf);
                pump(pair, pair->up, pair->down, pair->upBuf);
            }
            accept();
        });
    }
    static void pump(const std::shared_ptr<Pair>& pair, tcp::socket& from, tcp::socket& to,
                     std::array<char, 8192>& buffer) {
        from.async_read_some(asio::buffer(buffer), [pair, &from, &to, &buffer](
                                                       const asio::error_code& error,
                                                       std::size_t n) {
            if (error) {
                asio::error_code ec;
                to.close(ec);
                return;
            }
            asio::async_write(to, asio::buffer(buffer.data(), n),
                              [pair, &from, &to, &buffer](const asio::error_code& e, std::size_t) {
                                  if (!e) {
                                      pump(pair, from, to, buffer);
                                  }
                              });
        });
    }

    asio::io_context& io_;
    tcp::acceptor acceptor_;
    tcp::endpoint upstream_;
    std::vector<std::shared_ptr<Pair>> pairs_;
};

TEST(CenterLinkCut, FixesInFlightWhenTheLinkIsCutAreStoredOnceEach) {
    char pattern[] = "/tmp/vardo-link-cut-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string data = pattern;
    std::ofstream(data + "/allowed-terminals") << "13912344329\n";
    {
        CenterProcess center(data);
        ASSERT_TRUE(center.started()) << center.log();
        testsim::IoThread io;
        CuttingRelay relay(io.context(), center.tcpPort());
        io.start();
        EventServerRun server(io.call([&] { return relay.port(); }));
        server.start();
        ASSERT_TRUE(center.waitForLog("logged in as 'root'")) << center.log() << server.log();

        TestTerminal terminal(center.jt808Port(), "013912344329");
        ASSERT_EQ(terminal.authenticate(terminal.registerAs("粤B12345")), 0) << center.log();
        constexpr int kFixes = 600;
        constexpr int kCuts = 5;
        for (int i = 0; i < kFixes; ++i) {
            // Numbered by latitude: 10.000 + i / 1000.
            ASSERT_EQ(terminal.report(makeLocation(10.0 + i / 1000.0, 100.0, 1, 0, "270101073000")),
                      0);
            if (i % (kFixes / kCuts) == kFixes / kCuts / 2) {
                io.call([&] {
                    relay.cut();
                    return 0;
                });
            }
        }
        // Each cut costs a reconnect after the library's back-off.
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        Tally tally;
        do {
            std::this_thread::sleep_for(200ms);
            tally = CountSeries(server.fixes(), kFixes);
        } while (tally.stored < static_cast<std::uint64_t>(kFixes) &&
                 std::chrono::steady_clock::now() < deadline);
        std::printf("sent %d, stored %llu, lost %llu, doubled %llu, cuts %d\n", kFixes,
                    static_cast<unsigned long long>(tally.stored),
                    static_cast<unsigned long long>(tally.lost),
                    static_cast<unsigned long long>(tally.doubled), kCuts);
        EXPECT_EQ(tally.lost, 0u) << server.log();
        EXPECT_EQ(tally.doubled, 0u) << server.log();
        EXPECT_EQ(server.stop(), 0) << server.log();
        io.call([&] {
            relay.close();
            return 0;
        });
        EXPECT_EQ(center.stop(), 0) << center.log();
    }
    std::filesystem::remove_all(data);
}

}  // namespace
}  // namespace e2e
