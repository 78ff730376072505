// Terminals behind a balancer that names them with the PROXY protocol v2:
// the reader of the header, and a center whose limits and login back-off
// count the terminals' own addresses rather than the balancer's.

#include <gtest/gtest.h>

#include <vector>

#include "center/proxy_header.h"
#include "tests/center/session_fixture.h"

namespace center {
namespace {

// What HAProxy's send-proxy-v2 puts first: a TCP over IPv4 connection from
// `from`:`port` (to 10.0.0.100:7611), `extra` bytes of TLVs after the addresses.
std::vector<std::uint8_t> ProxyV4(std::array<std::uint8_t, 4> from, std::uint16_t port,
                                  std::size_t extra = 0) {
    std::vector<std::uint8_t> h = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A,
                                   0x51, 0x55, 0x49, 0x54, 0x0A, 0x21, 0x11};
    const std::size_t length = 12 + extra;
    h.push_back(static_cast<std::uint8_t>(length >> 8));
    h.push_back(static_cast<std::uint8_t>(length));
    h.insert(h.end(), from.begin(), from.end());
    h.insert(h.end(), {10, 0, 0, 100});
    h.push_back(static_cast<std::uint8_t>(port >> 8));
    h.push_back(static_cast<std::uint8_t>(port));
    h.insert(h.end(), {0x1D, 0xBB});
    h.insert(h.end(), extra, 0x04);
    return h;
}

TEST(ProxyHeader, NamesTheTerminalAndAsksForNoByteBeyondItself) {
    const auto v4 = ProxyV4({192, 0, 2, 7}, 40001, 5);
    const std::span<const std::uint8_t> all(v4);
    // Read as the center reads: the fixed part first, then what it announces.
    EXPECT_EQ(ParseProxyHeader(all.first(0)).kind, ProxyHeader::Kind::Incomplete);
    EXPECT_EQ(ParseProxyHeader(all.first(0)).length, 16u);
    const auto fixed = ParseProxyHeader(all.first(16));
    EXPECT_EQ(fixed.kind, ProxyHeader::Kind::Incomplete);
    EXPECT_EQ(fixed.length, v4.size());
    const auto whole = ParseProxyHeader(all);
    ASSERT_EQ(whole.kind, ProxyHeader::Kind::Proxied) << whole.error;
    EXPECT_EQ(whole.source.address().to_string(), "192.0.2.7");
    EXPECT_EQ(whole.source.port(), 40001);
    EXPECT_EQ(whole.length, v4.size());

    std::vector<std::uint8_t> v6(v4.begin(), v4.begin() + 12);
    v6.insert(v6.end(), {0x21, 0x21, 0x00, 36});
    const std::vector<std::uint8_t> source = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                              0,    0,    0,    0,    0, 0, 0, 9};
    v6.insert(v6.end(), source.begin(), source.end());
    v6.insert(v6.end(), 16, 0);
    v6.insert(v6.end(), {0x9C, 0x41, 0x1D, 0xBB});
    const auto six = ParseProxyHeader(v6);
    ASSERT_EQ(six.kind, ProxyHeader::Kind::Proxied) << six.error;
    EXPECT_EQ(six.source.address().to_string(), "2001:db8::9");
    EXPECT_EQ(six.source.port(), 40001);

    // The balancer's own health check (LOCAL) names nobody.
    std::vector<std::uint8_t> local(v4.begin(), v4.begin() + 12);
    local.insert(local.end(), {0x20, 0x00, 0x00, 0x00});
    EXPECT_EQ(ParseProxyHeader(local).kind, ProxyHeader::Kind::Local);
}

TEST(ProxyHeader, RefusesWhatNoBalancerSends) {
    // A terminal talking straight to the port: its frame starts with 0x7e.
    const std::vector<std::uint8_t> frame = {0x7E, 0x01, 0x02, 0x00, 0x00};
    EXPECT_EQ(ParseProxyHeader(frame).kind, ProxyHeader::Kind::Invalid);
    EXPECT_NE(ParseProxyHeader(frame).error.find("send-proxy-v2"), std::string::npos);
    // The text header of version 1.
    const std::string v1 = "PROXY TCP4 192.0.2.7 10.0.0.100 40001 7611\r\n";
    EXPECT_EQ(ParseProxyHeader({reinterpret_cast<const std::uint8_t*>(v1.data()), v1.size()}).kind,
              ProxyHeader::Kind::Invalid);

    auto header = ProxyV4({192, 0, 2, 7}, 40001);
    auto bad = header;
    bad[12] = 0x31;  // version 3
    EXPECT_EQ(ParseProxyHeader(bad).kind, ProxyHeader::Kind::Invalid);
    bad = header;
    bad[12] = 0x22;  // an unknown command
    EXPECT_EQ(ParseProxyHeader(bad).kind, ProxyHeader::Kind::Invalid);
    bad = header;
    bad[13] = 0x12;  // UDP
    EXPECT_EQ(ParseProxyHeader(bad).kind, ProxyHeader::Kind::Invalid);
    bad = header;
    bad[15] = 4;  // too short for two IPv4 addresses and ports
    bad.resize(20);
    EXPECT_EQ(ParseProxyHeader(bad).kind, ProxyHeader::Kind::Invalid);
    // A length that would have the center wait for 64 KiB is refused at once.
    bad = header;
    bad[14] = 0xFF;
    EXPECT_EQ(ParseProxyHeader(std::span(bad).first(16)).kind, ProxyHeader::Kind::Invalid);
}

using ProxiedTerminals = SessionTest;

TEST_F(ProxiedTerminals, LimitsAndBackOffCountTheAddressTheBalancerNames) {
    start(std::chrono::seconds(60), false, [](TerminalConfig& c) { c.proxyProtocol = true; });
    constexpr const char* kPhone = "013912344329";
    TestTerminal real(terminalPort(), kPhone);
    ASSERT_TRUE(real.sendRaw(ProxyV4({10, 0, 0, 1}, 5000)));
    const std::string code = real.registerAs("A1");
    ASSERT_FALSE(code.empty()) << log();
    std::string wrong = code;
    wrong[0] = wrong[0] == 'a' ? 'b' : 'a';

    // Every connection comes from the balancer (127.0.0.1); a guesser behind
    // it makes only its own address wait.
    for (int i = 0; i < 20; ++i) {
        TestTerminal guesser(terminalPort(), kPhone);
        ASSERT_TRUE(guesser.sendRaw(ProxyV4({10, 6, 6, 6}, static_cast<std::uint16_t>(6000 + i))));
        EXPECT_EQ(guesser.authenticate(wrong), 1);
    }
    TestTerminal lucky(terminalPort(), kPhone);
    ASSERT_TRUE(lucky.sendRaw(ProxyV4({10, 6, 6, 6}, 7000)));
    EXPECT_EQ(lucky.authenticate(code), 1);
    TestTerminal moved(terminalPort(), kPhone);
    ASSERT_TRUE(moved.sendRaw(ProxyV4({10, 0, 0, 7}, 7001)));
    EXPECT_EQ(moved.authenticate(code), 0) << log();
    EXPECT_NE(log().find("10.6.6.6"), std::string::npos) << log();
    const auto online = io_.call([this] { return terminals_->onlineTerminals(); });
    ASSERT_EQ(online.size(), 1u);
    EXPECT_EQ(online[0].address, "10.0.0.7:7001");

    // Without the header the connection is not the balancer's: closed unheard.
    TestTerminal direct(terminalPort(), kPhone);
    EXPECT_EQ(direct.authenticate(code), -1);
    EXPECT_TRUE(direct.waitClosed());
    EXPECT_EQ(io_.call([this] { return terminals_->onlineTerminals(); }).size(), 1u);
}

}  // namespace
}  // namespace center
