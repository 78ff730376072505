// The terminal sessions over real sockets: terminals played with the codec's
// encoders on one side, an event server's connection on the other.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "center/device_feed.h"
#include "center/registry.h"
#include "center/terminal_server.h"
#include "centerlink/event_server_hub.h"
#include "gps/rmc_parser.h"
#include "jt808/driver_identity.h"
#include "jt808/general_response.h"
#include "jt808/message_ids.h"
#include "tests/center/session_fixture.h"
#include "tests/center/test_terminal.h"
#include "testsupport/io_thread/io_thread.h"
#include "testsupport/loopback/loopback.h"

namespace center {
namespace {

using centertest::makeLocation;
using centertest::TestTerminal;
using nlohmann::json;
namespace msg = jt808::msg;

// Three location reports of `phone` at 10, 11 and 12 degrees north, serials
// from `firstSerial` on, framed back to back as one stream of bytes.
std::vector<std::uint8_t> ThreeReports(const std::string& phone, std::uint16_t firstSerial) {
    jt808::Header h;
    h.msgId = msg::kLocation;
    h.phone = phone;
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 3; ++i) {
        h.serial = static_cast<std::uint16_t>(firstSerial + i);
        const auto frame = jt808::encodeFrame(
            h, jt808::encodeLocation(makeLocation(10 + i, 20, 0, 0, "261208100000")));
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    return bytes;
}
using namespace std::chrono_literals;

TEST_F(SessionTest, ALoggedInTerminalIsADeviceWhoseReportsArriveInOrder) {
    start();
    auto es = eventServer();
    auto es2 = eventServer("second", "pw");  // every logged-in event server is served
    auto t = loggedIn();

    for (auto* c : {&es, &es2}) {
        const json online = next(*c);
        EXPECT_EQ(online["op"], "online");
        EXPECT_EQ(online["dev"], "013912344329");
        EXPECT_EQ(online["name"], "013912344329");
        EXPECT_EQ(online["vehicle"], "粤B12345");
        EXPECT_EQ(online["channels"], 4);
    }

    // A single report, then a batch of two after a dead zone, in order.
    EXPECT_EQ(t->report(makeLocation(22.5, 114.0, 36, 10, "261208100000")), 0);
    jt808::BatchLocation batch;
    batch.type = 1;
    batch.items = {makeLocation(-22.6, 114.1, 0, 20, "261208100010"),
                   makeLocation(22.7, -114.2, 0, 30, "261208100020")};
    EXPECT_EQ(t->resultOf(t->send(msg::kBatchLocation, jt808::encodeBatchLocation(batch))), 0);

    const double expected[][2] = {{22.5, 114.0}, {-22.6, 114.1}, {22.7, -114.2}};
    const char* times[] = {"020000.000", "020010.000", "020020.000"};
    for (int i = 0; i < 3; ++i) {
        const json gps = next(es);
        ASSERT_EQ(gps["op"], "gps") << gps;
        const std::string sentence = gps["gps"];
        EXPECT_NE(sentence.find(times[i]), std::string::npos) << sentence;
        double lat = 0, lon = 0;
        ASSERT_TRUE(ParseGPRMC(sentence.c_str(), &lat, &lon, nullptr, nullptr)) << sentence;
        EXPECT_NEAR(lat, expected[i][0], 1e-6);
        EXPECT_NEAR(lon, expected[i][1], 1e-6);
    }

    // A driver's card: the name goes out with the next report.
    jt808::DriverIdentity driver;
    driver.time = "261208100030";
    driver.name = "李四";
    driver.qualification = "Q1";
    driver.authority = "交通局";
    driver.expiry = "20301231";
    EXPECT_EQ(t->resultOf(t->send(msg::kDriverIdentity,
                                  jt808::encodeDriverIdentity(driver, jt808::Version::V2013))),
              0);
    EXPECT_EQ(t->report(makeLocation(22.5, 114.0, 0, 0, "261208100040")), 0);
    const json withDriver = next(es);
    EXPECT_EQ(withDriver["op"], "gps");
    EXPECT_EQ(withDriver.value("driver", ""), "李四");

    // Heartbeat and time query are answered; an unknown message is not
    // supported; the disconnect is the device's offline.
    EXPECT_EQ(t->resultOf(t->send(msg::kHeartbeat, {})), 0);
    t->send(msg::kTimeQuery, {});
    const auto time = t->receive();
    ASSERT_TRUE(time);
    EXPECT_EQ(time->header.msgId, msg::kTimeResponse);
    const auto now = jt808::parseTimeResponse(time->body);
    ASSERT_TRUE(now);
    EXPECT_LT(std::chrono::abs(*now - std::chrono::system_clock::now()), std::chrono::minutes(1));
    EXPECT_EQ(t->resultOf(t->send(0x0900, std::vector<std::uint8_t>{1, 2})), 3);
    t.reset();
    const json offline = next(es);
    EXPECT_EQ(offline["op"], "offline");
    EXPECT_EQ(offline["dev"], "013912344329");
    EXPECT_NE(log().find("terminal 013912344329 (127.0.0.1:"), std::string::npos) << log();
}

TEST_F(SessionTest, RisingAlarmBitsRaiseAlarmsOnce) {
    start();
    auto es = eventServer();
    auto t = loggedIn();
    ASSERT_EQ(next(es)["op"], "online");
    namespace a = jt808::alarm;
    auto report = makeLocation(22.5, 114.0, 0, 0, "261208100000", a::kEmergency);
    EXPECT_EQ(t->report(report), 0);
    report.alarm = a::kEmergency | a::kOverspeed;
    EXPECT_EQ(t->report(report), 0);
    report.items = {jt808::makeItem(jt808::item::kVideoAlarms, jt808::video_alarm::kSignalLoss, 4)};
    EXPECT_EQ(t->report(report), 0);

    std::vector<json> seen;
    for (int i = 0; i < 6; ++i) {
        seen.push_back(next(es));
    }
    const std::vector<std::string> ops = {"gps", "alarm", "gps", "alarm", "gps", "alarm"};
    const int kinds[] = {0, 1, 5};
    for (std::size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i]["op"], ops[i]) << seen[i];
        if (ops[i] == "alarm") {
            EXPECT_EQ(seen[i]["alarm"], kinds[i / 2]) << seen[i];
        }
    }
    // The alarm stays set: the next report raises nothing.
    EXPECT_EQ(t->report(report), 0);
    EXPECT_EQ(next(es)["op"], "gps");
    EXPECT_EQ(t->resultOf(t->send(msg::kHeartbeat, {})), 0);
    EXPECT_FALSE(es.readLine(200ms));
}

// As the center runs: a report with the position and second of one already
// numbered is not a second fix, but an alarm that rose with it (a terminal
// standing still reports at once when a button is pressed) is still raised,
// and its answer waits for it. A report sent again raises nothing.
TEST_F(SessionTest, AnAlarmRisingWithARepeatedPositionIsRaisedAndThePositionKeptOnce) {
    start();
    io_.call([this] {
        feed_->rememberFixes(true);
        return 0;
    });
    auto es = eventServer();
    auto t = loggedIn();
    ASSERT_EQ(next(es)["op"], "online");
    namespace a = jt808::alarm;
    auto report = makeLocation(22.5, 114.0, 0, 0, "261208100000", 0);
    EXPECT_EQ(t->report(report), 0);
    EXPECT_EQ(next(es)["op"], "gps");
    report.alarm = a::kEmergency;
    EXPECT_EQ(t->report(report), 0);
    const json alarm = next(es);
    EXPECT_EQ(alarm["op"], "alarm") << alarm;
    EXPECT_EQ(alarm["alarm"], 0) << alarm;
    EXPECT_EQ(t->report(report), 0);
    EXPECT_FALSE(es.readLine(200ms));
    EXPECT_EQ(io_.call([this] { return feed_->reportsAgain(); }), 2u);
}

// The list of terminals online shows each one's last position, and "none
// yet" again once it logs in anew.
TEST_F(SessionTest, TheListShowsTheLastPositionOfThisLoginOnly) {
    start();
    auto es = eventServer();
    const auto listed = [this] {
        return io_.call([this] { return terminals_->onlineTerminals(); });
    };
    auto t = std::make_unique<TestTerminal>(terminalPort(), "013912344329");
    const std::string code = t->registerAs("粤B12345");
    EXPECT_EQ(t->authenticate(code), 0);
    auto online = listed();
    ASSERT_EQ(online.size(), 1u);
    EXPECT_FALSE(online[0].lastReport);
    EXPECT_EQ(online[0].plate, "粤B12345");
    EXPECT_EQ(t->report(makeLocation(22.5, 114.0, 36, 10, "261208100000")), 0);
    EXPECT_EQ(t->report(makeLocation(-22.6, 114.0, 36, 10, "261208100010")), 0);
    online = listed();
    ASSERT_EQ(online.size(), 1u);
    ASSERT_TRUE(online[0].lastReport);
    EXPECT_NEAR(online[0].lastReport->latitude, -22.6, 1e-6);
    t.reset();
    EXPECT_EQ(next(es)["op"], "online");
    for (json line = next(es); line["op"] != "offline" && !line.is_null(); line = next(es)) {
    }
    EXPECT_TRUE(listed().empty());
    TestTerminal again(terminalPort(), "013912344329");
    EXPECT_EQ(again.authenticate(code), 0);
    online = listed();
    ASSERT_EQ(online.size(), 1u);
    EXPECT_FALSE(online[0].lastReport);
}

TEST_F(SessionTest, NothingCountsBeforeAuthentication) {
    start();
    auto es = eventServer();
    TestTerminal t(terminalPort(), "013912344329");
    const auto report = makeLocation(22.5, 114.0, 0, 0, "261208100000");
    EXPECT_EQ(t.report(report), 1);
    EXPECT_EQ(t.resultOf(t.send(msg::kHeartbeat, {})), 1);
    // The third refusal is answered, then the connection closes.
    EXPECT_EQ(t.authenticate("0123456789abcdef0123456789abcdef"), 1);
    EXPECT_TRUE(t.waitClosed());
    EXPECT_FALSE(es.readLine(300ms)) << "nothing may reach the event server";
    EXPECT_NE(log().find("refused"), std::string::npos) << log();
}

TEST_F(SessionTest, ForgedCodesAndStrangersAreRefused) {
    start();
    auto es = eventServer();
    {
        // Registered, but another terminal's code, and then the code of the
        // right terminal sent under another phone.
        TestTerminal real(terminalPort(), "013912344329");
        const std::string code = real.registerAs("A1");
        ASSERT_FALSE(code.empty());
        TestTerminal forger(terminalPort(), "012345678901");
        EXPECT_EQ(forger.authenticate(code), 1);
        std::string wrong = code;
        wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
        TestTerminal guesser(terminalPort(), "013912344329");
        EXPECT_EQ(guesser.authenticate(wrong), 1);
        EXPECT_EQ(guesser.report(makeLocation(1, 1, 0, 0, "261208100000")), 1);
    }
    // A phone that is not on the allow-list cannot register.
    TestTerminal stranger(terminalPort(), "015500000000");
    int result = -1;
    EXPECT_EQ(stranger.registerAs("X", &result), "");
    EXPECT_EQ(result, 4);
    EXPECT_FALSE(es.readLine(300ms)) << "nothing may reach the event server";
    EXPECT_FALSE(io_.call([this] { return registry_.find("015500000000"); }));
    const std::string text = log();
    EXPECT_NE(text.find("wrong authentication code"), std::string::npos) << text;
    EXPECT_NE(text.find("not in " + dir_ + "/allowed-terminals"), std::string::npos) << text;
}

TEST_F(SessionTest, ADeregisteredTerminalIsNoLongerADevice) {
    start();
    auto es = eventServer();
    TestTerminal t(terminalPort(), "013912344329");
    const std::string code = t.registerAs("A1");
    ASSERT_EQ(t.authenticate(code), 0);
    EXPECT_EQ(next(es)["op"], "online");
    EXPECT_EQ(t.resultOf(t.send(msg::kDeregistration, {})), 0);
    EXPECT_EQ(next(es)["op"], "offline");
    EXPECT_EQ(t.report(makeLocation(1, 2, 0, 0, "261208100000")), 1);
    EXPECT_EQ(t.authenticate(code), 1);  // the old code is gone
    EXPECT_FALSE(io_.call([this] { return registry_.find("013912344329"); }));
}

// The time of each login reaches the registry (in one write for the logins
// that come together).
TEST_F(SessionTest, EachLoginStampsTheTerminalsLastSightingInTheRegistry) {
    start();
    TestTerminal one(terminalPort(), "013912344329");
    TestTerminal two(terminalPort(), "12345678901234567890", jt808::Version::V2019);
    const std::string codeOne = one.registerAs("A1");
    const std::string codeTwo = two.registerAs("B2");
    const auto lastSeen = [this](const std::string& phone) {
        return io_.call([&] { return registry_.find(phone)->lastSeen; });
    };
    const std::int64_t registered =
        std::max(lastSeen("013912344329"), lastSeen("12345678901234567890"));
    // The registry counts seconds.
    std::this_thread::sleep_for(1100ms);
    ASSERT_EQ(one.authenticate(codeOne), 0);
    ASSERT_EQ(two.authenticate(codeTwo), 0);
    for (int i = 0; i < 500 && (lastSeen("013912344329") <= registered ||
                                lastSeen("12345678901234567890") <= registered);
         ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_GT(lastSeen("013912344329"), registered);
    EXPECT_GT(lastSeen("12345678901234567890"), registered);
}

TEST_F(SessionTest, A2019TerminalIsNamedByItsTwentyDigits) {
    start();
    auto es = eventServer();
    auto t = loggedIn("12345678901234567890", "B2");
    const json online = next(es);
    EXPECT_EQ(online["dev"], "12345678901234567890");
    EXPECT_EQ(t->report(makeLocation(1, 2, 0, 0, "261208100000")), 0);
    EXPECT_EQ(next(es)["op"], "gps");
}

TEST_F(SessionTest, ASilentTerminalIsDroppedAndGoesOffline) {
    start(std::chrono::milliseconds(600));
    auto es = eventServer();
    auto t = loggedIn();
    EXPECT_EQ(next(es)["op"], "online");
    // No heartbeat from here on.
    const json offline = next(es);
    EXPECT_EQ(offline["op"], "offline");
    EXPECT_TRUE(t->waitClosed());
    EXPECT_NE(log().find("heartbeat time-out"), std::string::npos) << log();
}

TEST_F(SessionTest, TerminalsThatTalkOutliveTheHeartbeatWhileASilentOneAmongThemIsDropped) {
    start(std::chrono::milliseconds(800), true);
    auto first = loggedIn("013900000001", "A1");
    auto silent = loggedIn("013900000002", "A2");
    auto last = loggedIn("013900000003", "A3");
    // Three heartbeat periods: each talker is heard well within every one,
    // the silent one between them not at all.
    for (int i = 0; i < 12; ++i) {
        std::this_thread::sleep_for(200ms);
        ASSERT_EQ(first->resultOf(first->send(msg::kHeartbeat, {})), 0) << log();
        ASSERT_EQ(last->resultOf(last->send(msg::kHeartbeat, {})), 0) << log();
    }
    EXPECT_TRUE(silent->waitClosed(1s));
    EXPECT_EQ(io_.call([this] { return terminals_->connections(); }), 2u);
    EXPECT_NE(log().find("013900000002 (127.0.0.1:"), std::string::npos) << log();
    EXPECT_EQ(log().find("013900000001 (127.0.0.1:"), log().rfind("013900000001 (127.0.0.1:"))
        << "the first talker was dropped:\n"
        << log();
}

TEST_F(SessionTest, ADeregisteredTerminalMustLogInAgainWithinTheLoginTime) {
    start(std::chrono::seconds(60), true, [](TerminalConfig& c) { c.authTimeout = 600ms; });
    auto t = loggedIn("013900000004", "A4");
    // Logged in, the login time no longer counts.
    std::this_thread::sleep_for(900ms);
    ASSERT_EQ(t->resultOf(t->send(msg::kHeartbeat, {})), 0);
    ASSERT_EQ(t->resultOf(t->send(msg::kDeregistration, {})), 0);
    // From the deregistration on, it does again.
    EXPECT_TRUE(t->waitClosed(3s));
    EXPECT_NE(log().find("not authenticated within 600 ms"), std::string::npos) << log();
}

TEST_F(SessionTest, FramesCutAcrossReadsOrSharingOneArriveWhole) {
    start(std::chrono::seconds(60), true);
    auto es = eventServer();
    auto t = loggedIn("013900000005", "A5");
    EXPECT_EQ(next(es)["op"], "online");
    const std::vector<std::uint8_t> bytes = ThreeReports("013900000005", 700);
    // The first frame and a half, then the rest: the half waits for its end
    // while other connections' reads come and go.
    const std::size_t cut = bytes.size() / 2;
    auto other = loggedIn("013900000006", "A6");
    ASSERT_TRUE(t->sendRaw(std::span(bytes).first(cut)));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(other->resultOf(other->send(msg::kHeartbeat, {})), 0);
    ASSERT_TRUE(t->sendRaw(std::span(bytes).subspan(cut)));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(t->resultOf(static_cast<std::uint16_t>(700 + i)), 0);
    }
    int latitudes = 0;
    for (int seen = 0; seen < 4 && latitudes < 3; ++seen) {
        const json event = next(es);
        if (event["op"] == "gps") {
            const auto text = event["gps"].get<std::string>();
            EXPECT_NE(text.find(std::to_string(10 + latitudes) + "00.0000,N"), std::string::npos)
                << text;
            ++latitudes;
        }
    }
    EXPECT_EQ(latitudes, 3);
}

TEST_F(SessionTest, BurstsAndFramesLongerThanAReadArriveWholeAndInOrder) {
    start(std::chrono::seconds(60), true);
    auto es = eventServer();
    auto t = loggedIn("013900000007", "A7");
    auto other = loggedIn("013900000008", "A8");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(next(es)["op"], "online");
    }
    jt808::Header h;
    h.msgId = msg::kLocation;
    h.phone = "013900000007";
    const auto report = [&](std::uint16_t serial, int minute) {
        h.serial = serial;
        return jt808::encodeFrame(
            h, jt808::encodeLocation(makeLocation(10 + minute / 60.0, 20, 0, 0, "261208100000")));
    };

    // A frame of a few hundred bytes cut at a run of places: its halves meet
    // across reads while the other terminal is served in between.
    jt808::BatchLocation batch;
    batch.type = 0;
    for (int i = 0; i < 12; ++i) {
        batch.items.push_back(makeLocation(30, 40, 0, 0, "261208100000"));
    }
    h.msgId = msg::kBatchLocation;
    for (std::uint16_t cut = 120; cut < 136; ++cut) {
        h.serial = cut;
        const auto frame = jt808::encodeFrame(h, jt808::encodeBatchLocation(batch));
        ASSERT_GT(frame.size(), 300u);
        ASSERT_TRUE(t->sendRaw(std::span(frame).first(cut)));
        EXPECT_EQ(other->resultOf(other->send(msg::kHeartbeat, {})), 0);
        ASSERT_TRUE(t->sendRaw(std::span(frame).subspan(cut)));
        EXPECT_EQ(t->resultOf(cut), 0);
        for (int i = 0; i < 12; ++i) {
            ASSERT_EQ(next(es)["op"], "gps");
        }
    }
    h.msgId = msg::kLocation;

    // A backlog of 2,000 reports in one write, far more than one turn of
    // reads takes: every one is answered and reaches the event server in
    // order, and the other terminal is served meanwhile.
    std::vector<std::uint8_t> bytes;
    constexpr int kBacklog = 2000;
    for (int i = 0; i < kBacklog; ++i) {
        const auto frame = report(static_cast<std::uint16_t>(1000 + i), i % 60);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
    }
    ASSERT_GT(bytes.size(), 16u * 4096u + 128u);
    std::thread sender([&] { EXPECT_TRUE(t->sendRaw(bytes)); });
    EXPECT_EQ(other->resultOf(other->send(msg::kHeartbeat, {})), 0);
    for (int i = 0; i < kBacklog; ++i) {
        ASSERT_EQ(t->resultOf(static_cast<std::uint16_t>(1000 + i)), 0) << i;
    }
    sender.join();
    for (int i = 0; i < kBacklog; ++i) {
        const json gps = next(es);
        ASSERT_EQ(gps["op"], "gps") << i;
        double lat = 0, lon = 0;
        ASSERT_TRUE(
            ParseGPRMC(gps["gps"].get<std::string>().c_str(), &lat, &lon, nullptr, nullptr));
        EXPECT_NEAR(lat, 10 + (i % 60) / 60.0, 1e-6) << i;
    }
}

TEST_F(SessionTest, ReportsSentWithTheTerminalsHangUpAreAllTakenBeforeItGoesOffline) {
    start(std::chrono::seconds(60), true);
    auto es = eventServer();
    auto t = loggedIn("013900000009", "A9");
    EXPECT_EQ(next(es)["op"], "online");
    const std::vector<std::uint8_t> bytes = ThreeReports("013900000009", 900);
    // Reports and the end arrive together: a read shorter than the buffer
    // is not the last one, the end after it is read too. (Answers still
    // queued when it is read are dropped with the connection.)
    ASSERT_TRUE(t->sendRawAndEnd(bytes));
    for (int i = 0; i < 3; ++i) {
        const json event = next(es);
        ASSERT_EQ(event["op"], "gps") << event.dump();
        EXPECT_NE(event["gps"].get<std::string>().find(std::to_string(10 + i) + "00.0000,N"),
                  std::string::npos);
    }
    EXPECT_EQ(next(es)["op"], "offline");
    EXPECT_TRUE(t->waitClosed());
}

TEST_F(SessionTest, ReportsWhileNoEventServerListensReachTheNextOneInItsList) {
    start();
    auto t = loggedIn();
    EXPECT_EQ(t->report(makeLocation(22.5, 114.25, 36, 90, "261208100000")), 0);
    EXPECT_EQ(t->report(makeLocation(23.5, 114.25, 36, 90, "261208100010")), 0);
    auto c = testsim::connectTo(io_.call([this] { return hub_->tcpPort(); }));
    c.send(json{{"op", "login"}, {"version", 1}, {"user", "root"}, {"password", "kiwa"}}.dump() +
           "\n");
    EXPECT_EQ(next(c)["op"], "login_ok");
    const json online = next(c);
    ASSERT_EQ(online["op"], "online") << online;
    EXPECT_EQ(online["dev"], "013912344329");
    // The latest report, not the first.
    EXPECT_NE(online["gps"].get<std::string>().find("2330.0000,N"), std::string::npos) << online;
    EXPECT_EQ(next(c)["op"], "synced");
    EXPECT_EQ(t->report(makeLocation(24.5, 114.25, 36, 90, "261208100020")), 0);
    const json gps = next(c);
    EXPECT_EQ(gps["op"], "gps");
    EXPECT_GT(gps["seq"].get<std::uint64_t>(), online["seq"].get<std::uint64_t>());
}

TEST_F(SessionTest, ALoginOnANewConnectionReplacesTheOldOneWithoutAnOffline) {
    start();
    auto es = eventServer();
    TestTerminal first(terminalPort(), "013912344329");
    const std::string code = first.registerAs("A1");
    ASSERT_EQ(first.authenticate(code), 0);
    EXPECT_EQ(next(es)["op"], "online");
    TestTerminal second(terminalPort(), "013912344329");
    ASSERT_EQ(second.authenticate(code), 0);
    EXPECT_TRUE(first.waitClosed());
    const json again = next(es);
    EXPECT_EQ(again["op"], "online") << again;  // its data again, not an offline
    EXPECT_EQ(second.report(makeLocation(1, 2, 0, 0, "261208100000")), 0);
    EXPECT_EQ(next(es)["op"], "gps");
}

TEST_F(SessionTest, BrokenFramesAreAnsweredOrSkippedAndNeverCrashTheCenter) {
    start(std::chrono::seconds(60), true);
    auto es = eventServer();
    auto t = loggedIn("013900000007", "C3");
    EXPECT_EQ(next(es)["op"], "online");
    // Noise, an empty frame, a bad check code, a frame over the limit, an
    // encrypted message: the terminal stays connected and is still heard.
    const std::vector<std::uint8_t> noise{0x00, 0x7e, 0x7e, 0x01, 0x02, 0x03, 0x7e};
    EXPECT_TRUE(t->sendRaw(noise));
    jt808::Header h;
    h.msgId = msg::kHeartbeat;
    h.phone = "013900000007";
    h.serial = 900;
    auto frame = jt808::encodeFrame(h, {});
    frame[frame.size() - 2] ^= 0x5a;  // the check code
    EXPECT_TRUE(t->sendRaw(frame));
    EXPECT_EQ(t->resultOf(900, 300ms), -1);  // an unreliable header gets no answer
    std::vector<std::uint8_t> huge(10000, 0x30);
    huge.front() = huge.back() = 0x7e;
    EXPECT_TRUE(t->sendRaw(huge));
    h.serial = 901;
    h.encryption = 1;  // RSA
    EXPECT_TRUE(t->sendRaw(jt808::encodeFrame(h, {})));
    EXPECT_EQ(t->resultOf(901), 3);
    EXPECT_EQ(t->report(makeLocation(1, 2, 0, 0, "261208100000")), 0);
    EXPECT_EQ(next(es)["op"], "gps");
    // A report whose time is no time still has its position.
    EXPECT_EQ(t->report(makeLocation(1, 2, 0, 0, "261399999999")), 0);
    const json gps = next(es);
    EXPECT_EQ(gps["op"], "gps");
    EXPECT_TRUE(
        ParseGPRMC(gps["gps"].get<std::string>().c_str(), nullptr, nullptr, nullptr, nullptr));
}

}  // namespace
}  // namespace center
