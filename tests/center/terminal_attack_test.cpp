// Attacks on the terminals' port from a second machine (127.0.0.2), each with
// the figure it is judged by: the real terminal keeps its phone, a flood of
// idle sockets keeps no terminal out, guessing costs time and log lines stay
// few.

#include <sys/resource.h>
#include <sys/socket.h>

#include <algorithm>
#include <thread>

#include "jt808/location.h"
#include "jt808/message_ids.h"
#include "jt808/registration.h"
#include "tests/center/session_fixture.h"

namespace center {
namespace {

namespace msg = jt808::msg;
constexpr const char* kStranger = "127.0.0.2";
constexpr const char* kPhone = "013912344329";

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

using TerminalAttackTest = SessionTest;

TEST_F(TerminalAttackTest, TakeoverByPhoneNumberLeavesTheRealTerminalOnlineWithItsCode) {
    start(std::chrono::seconds(60), true);  // open registration: the weakest setting
    auto es = eventServer();
    TestTerminal real(terminalPort(), kPhone);
    const std::string code = real.registerAs("粤B12345");
    ASSERT_EQ(real.authenticate(code), 0);
    ASSERT_EQ(next(es)["op"], "online");

    // The stranger loops register / login / report with P's number.
    for (int i = 0; i < 20; ++i) {
        TestTerminal stranger(terminalPort(), kPhone, jt808::Version::V2013, kStranger);
        ASSERT_TRUE(stranger.connected());
        int result = -1;
        EXPECT_EQ(stranger.registerAs("FAKE", &result), "");
        // Terminal already registered; once the address waits, no such terminal.
        EXPECT_TRUE(result == 3 || result == 4) << result;
        EXPECT_EQ(stranger.report(makeLocation(1, 1, 0, 0, "261208100000")), 1);
    }
    EXPECT_FALSE(es.readLine(300ms)) << "no false online, offline or fix";
    EXPECT_FALSE(real.waitClosed(10ms));
    EXPECT_EQ(real.report(makeLocation(22.5, 114.0, 0, 0, "261208100000")), 0);
    EXPECT_EQ(next(es)["op"], "gps");
    const auto record = io_.call([this] { return registry_.find(kPhone); });
    ASSERT_TRUE(record);
    EXPECT_EQ(record->authCode, code);
    EXPECT_EQ(record->plate, "粤B12345");
    EXPECT_NE(log().find("it holds a code"), std::string::npos) << log();

    // An authenticated connection speaks for its own phone only.
    auto other = loggedIn("012345678901", "B2");
    ASSERT_EQ(next(es)["op"], "online");
    jt808::Header h;
    h.msgId = msg::kAuthentication;
    h.phone = kPhone;
    h.serial = 77;
    jt808::Authentication auth;
    auth.code = code;
    EXPECT_TRUE(other->sendRaw(
        jt808::encodeFrame(h, jt808::encodeAuthentication(auth, jt808::Version::V2013))));
    EXPECT_EQ(other->resultOf(77), 1);
    EXPECT_FALSE(real.waitClosed(100ms)) << "the real terminal keeps its connection";
}

TEST_F(TerminalAttackTest, AReleasedPhoneRegistersAgainOnARunningCenterWithinItsWindow) {
    start();
    TestTerminal real(terminalPort(), kPhone);
    const std::string oldCode = real.registerAs("A1");
    ASSERT_FALSE(oldCode.empty());

    // The operator's release, from another connection to the file (as
    // vardo-center --release does), while the center runs.
    {
        SqliteRegistry operatorSide;
        ASSERT_EQ(operatorSide.open(dir_ + "/registry.sqlite"), "");
        EXPECT_EQ(operatorSide.release("13912344329", 0), kPhone);  // leading zero not needed
        EXPECT_TRUE(operatorSide.release("15500000000", 0).starts_with("error: "));
    }
    TestTerminal reset(terminalPort(), kPhone);
    EXPECT_EQ(reset.authenticate(oldCode), 1) << "a released code no longer works";
    const std::string newCode = reset.registerAs("A1");
    ASSERT_FALSE(newCode.empty());
    EXPECT_NE(newCode, oldCode);
    EXPECT_EQ(reset.authenticate(newCode), 0);
    int result = -1;
    TestTerminal again(terminalPort(), kPhone);
    EXPECT_EQ(again.registerAs("A1", &result), "");
    EXPECT_EQ(result, 3) << "one release, one enrolment";

    // A release whose window has passed enrols nobody.
    {
        SqliteRegistry operatorSide;
        ASSERT_EQ(operatorSide.open(dir_ + "/registry.sqlite"), "");
        EXPECT_EQ(operatorSide.release(kPhone, 1), kPhone);  // long past
    }
    TestTerminal late(terminalPort(), kPhone);
    EXPECT_EQ(late.registerAs("A1", &result), "");
    EXPECT_EQ(result, 3);
}

TEST_F(TerminalAttackTest, AThousandIdleAndTricklingSocketsKeepNoTerminalOut) {
    rlimit files{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
    if (files.rlim_cur < 4096 && files.rlim_max > files.rlim_cur) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    start(std::chrono::seconds(60), false, [](TerminalConfig& c) {
        c.maxTerminals = 500;  // the flood alone would fill it
        c.authTimeout = 2s;
    });
    // 1,000 sockets from two strangers: half idle, half sending a
    // sub-package piece now and then, which once reset the silence timer.
    // The idle ones come from an address of their own: the log details only
    // the first few drops of an address, and the trickling ones' refusals
    // could otherwise take those lines from the login time-out.
    constexpr const char* kIdleStranger = "127.0.0.3";
    std::vector<std::unique_ptr<TestTerminal>> flood;
    for (int i = 0; i < 1000; ++i) {
        flood.push_back(std::make_unique<TestTerminal>(terminalPort(), "015500000000",
                                                       jt808::Version::V2013,
                                                       i % 2 == 0 ? kIdleStranger : kStranger));
    }
    jt808::Header piece;
    piece.msgId = msg::kLocation;
    piece.phone = "015500000000";
    piece.subpackaged = true;
    piece.packageTotal = 100;
    const auto trickle = [&] {
        for (std::size_t i = 1; i < flood.size(); i += 2) {
            piece.packageIndex = 1;
            flood[i]->sendRaw(jt808::encodeFrame(piece, std::vector<std::uint8_t>(8, 0)));
        }
    };
    trickle();
    const auto before = std::chrono::steady_clock::now();
    TestTerminal real(terminalPort(), kPhone);
    const std::string code = real.registerAs("A1");
    ASSERT_FALSE(code.empty());
    EXPECT_EQ(real.authenticate(code), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    EXPECT_LE(io_.call([this] { return terminals_->unauthenticated(); }), 2 * 32u);  // per address

    // Trickling buys nothing: every socket of the flood is gone after the
    // time to authenticate, while the real terminal stays.
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(1s);
        trickle();
    }
    EXPECT_EQ(real.resultOf(real.send(msg::kHeartbeat, {})), 0);
    EXPECT_EQ(io_.call([this] { return terminals_->connections(); }), 1u);
    EXPECT_NE(log().find("not authenticated within 2 s"), std::string::npos) << log();
}

TEST_F(TerminalAttackTest, GuessedCodesWaitLongerAndAreSummedUpInTheLog) {
    start(std::chrono::seconds(60), false,
          [](TerminalConfig& c) { c.refusalLogPeriod = std::chrono::milliseconds(500); });
    TestTerminal real(terminalPort(), kPhone);
    const std::string code = real.registerAs("A1");
    ASSERT_FALSE(code.empty());
    std::string wrong = code;
    wrong[0] = wrong[0] == 'a' ? 'b' : 'a';

    // 300 wrong codes from new connections of the stranger.
    for (int i = 0; i < 300; ++i) {
        TestTerminal guesser(terminalPort(), kPhone, jt808::Version::V2013, kStranger);
        EXPECT_EQ(guesser.authenticate(wrong), 1);
    }
    // Now even the right code waits from that address...
    TestTerminal lucky(terminalPort(), kPhone, jt808::Version::V2013, kStranger);
    EXPECT_EQ(lucky.authenticate(code), 1);
    // ...but not from the terminal's own.
    EXPECT_EQ(real.authenticate(code), 0);

    std::this_thread::sleep_for(700ms);
    const std::string text = log();
    EXPECT_LE(countOf(text, "wrong authentication code"), 5u) << text;
    EXPECT_NE(text.find("refused logins from 127.0.0.2 in the last 500 ms"), std::string::npos)
        << text;
    EXPECT_LT(std::count(text.begin(), text.end(), '\n'), 40) << text;  // 300 guesses
}

TEST_F(TerminalAttackTest, AFieldReportWithAnOverrunningLastItemKeepsItsPosition) {
    start();
    auto es = eventServer();
    auto t = loggedIn();
    ASSERT_EQ(next(es)["op"], "online");
    // As captured: item 0x00 claiming 120 bytes with 10 left.
    auto body = jt808::encodeLocation(makeLocation(22.5, 114.0, 36, 10, "261208100000"));
    body.push_back(0x00);
    body.push_back(120);
    body.resize(body.size() + 10, 0x55);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(t->resultOf(t->send(msg::kLocation, body)), 0);
        EXPECT_EQ(next(es)["op"], "gps");
    }
    EXPECT_EQ(countOf(log(), "claims 120 bytes, 10 remain"), 1u) << log();
}

}  // namespace
}  // namespace center
