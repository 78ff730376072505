// The device library against real peers over loopback sockets: the simulator
// as a child process, or a peer played by hand where the simulator would be
// too well-behaved.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "testsupport/loopback/loopback.h"
#include "testsupport/process/sim_process.h"
#include "testsupport/recording_target/recording_target.h"
#include "vardoappcore/api/vardo_app_acks.h"
#include "vardoappcore/api/vardo_app_core.h"
#include "vardoappcore/library_log.h"
#include "vardoappcore/session_timing.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testlib::Posted;
using testsim::LineConnection;
using testsim::RawListener;
using testsim::SimProcess;

const std::string kLoginOk = "{\"op\":\"login_ok\",\"media_key\":1}\n";

class LibraryNetworkTest : public ::testing::Test {
protected:
    void SetUp() override {
        vardo::SessionTiming timing;
        timing.firstRetry = 50ms;
        timing.maxRetry = 400ms;
        setTiming(timing);
        vardo::setLogSink([this](std::string_view line) { log_.add(line); });
        app_ = MyVardoApp_Construct(&window_, WM_DEVICE_NOTIFY);
        ASSERT_NE(app_, 0u);
    }

    void TearDown() override {
        MyVardoApp_Destruct(app_);
        vardo::setLogSink({});
        vardo::setSessionTiming({});
    }

    static void setTiming(const vardo::SessionTiming& timing) { vardo::setSessionTiming(timing); }

    // Pings every `interval`; a server silent for `silence` is given up.
    static void setPings(std::chrono::milliseconds interval, std::chrono::milliseconds silence) {
        vardo::SessionTiming timing = vardo::sessionTiming();
        timing.pingInterval = interval;
        timing.silenceLimit = silence;
        setTiming(timing);
    }

    void login(std::uint16_t port, const char* password = "kiwa") {
        MyVardoApp_SetCenterServer(app_, "127.0.0.1", port, port + 1);
        MyVardoApp_Login(app_, "root", password);
    }

    // Logs in to `center` and answers the login as a server that accepts it;
    // invalid when no connection or no login came.
    LineConnection loggedInPeer(RawListener& center) {
        login(center.port());
        LineConnection peer = center.accept();
        if (!peer.readLine().has_value()) {
            return LineConnection();
        }
        peer.send(kLoginOk);
        return peer;
    }

    // The next notification, as the window thread would receive it.
    Posted next() {
        const auto p = window_.next();
        EXPECT_TRUE(p.has_value()) << "no notification came; log:\n" << log_.all();
        return p.value_or(Posted{});
    }

    struct Seen {
        WPARAM kind = 0;
        LPARAM device = 0;
        std::string name;
        std::string gps;
    };

    // Takes the next notification and reads what the event server's handlers
    // read, in their order: the GPS text last.
    Seen handle() {
        const Posted p = next();
        Seen seen{p.kind, p.device, info(p.device, DEVINFO_NAME), ""};
        if (p.kind == NOTIFY_DEVICE_ONLINE || p.kind == NOTIFY_DEVICE_GPS) {
            seen.gps = info(p.device, DEVINFO_GPS);
        }
        return seen;
    }

    static std::string info(LPARAM dev, int item) {
        char buffer[512] = "";
        MyVardoDev_GetDevInfo(static_cast<HVARDODEV>(dev), item, buffer, sizeof buffer);
        return buffer;
    }

    testlib::RecordingTarget window_;
    testlib::LogCapture log_;
    HVARDOAPP app_ = 0;
};

TEST_F(LibraryNetworkTest, DevicesAndTheirDataReachTheWindowInOrder) {
    SimProcess sim;
    sim.send(
        "wait-login\n"
        "online X7 \"O'Brien \\\"Van\\\"\" 2 浙A·12345 张伟\n"
        "gps X7 $GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D\n"
        "alarm X7 3\n"
        "event X7 0xA1\n"
        "offline X7\n");
    login(sim.tcpPort());

    const Posted online = next();
    EXPECT_EQ(online.message, WM_DEVICE_NOTIFY);
    EXPECT_EQ(online.kind, NOTIFY_DEVICE_ONLINE);
    EXPECT_EQ(MyVardoApp_IsActive(app_), 1);
    EXPECT_EQ(info(online.device, DEVINFO_NAME), "O'Brien \"Van\"");
    std::int32_t channels = 0;
    EXPECT_EQ(
        MyVardoDev_GetDevInfo(static_cast<HVARDODEV>(online.device), DEVINFO_CHANNEL, &channels, 4),
        1);
    EXPECT_EQ(channels, 2);
    EXPECT_EQ(info(online.device, DEVINFO_VEHICLE_ID), "浙A·12345");
    EXPECT_EQ(info(online.device, DEVINFO_DRIVER_NAME), "张伟");
    EXPECT_EQ(info(online.device, DEVINFO_GPS), "");

    const Posted gps = next();
    EXPECT_EQ(gps.kind, NOTIFY_DEVICE_GPS);
    EXPECT_EQ(gps.device, online.device);
    EXPECT_EQ(info(gps.device, DEVINFO_GPS),
              "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D");
    EXPECT_EQ(next().kind, NOTIFY_ALARM_FIRST + 3);
    EXPECT_EQ(next().kind, 0xA1u);
    const Posted offline = next();
    EXPECT_EQ(offline.kind, NOTIFY_DEVICE_OFFLINE);
    EXPECT_EQ(offline.device, online.device);
}

TEST_F(LibraryNetworkTest, EachGpsNotificationReadsItsOwnFixEvenWhenTheWindowLags) {
    SimProcess sim;
    std::string script = "wait-login\nonline a A 1\nonline b B 1\n";
    std::vector<std::pair<std::string, std::string>> sent;
    for (int i = 0; i < 300; ++i) {
        const std::string dev = i % 3 == 0 ? "b" : "a";
        const std::string fix = "fix-" + std::to_string(i);
        script += "gps " + dev + " " + fix + "\n";
        sent.emplace_back(dev, fix);
    }
    sim.send(script);
    login(sim.tcpPort());

    std::map<LPARAM, std::string> names;
    for (int i = 0; i < 2; ++i) {
        const Posted p = next();
        ASSERT_EQ(p.kind, NOTIFY_DEVICE_ONLINE);
        names[p.device] = info(p.device, DEVINFO_NAME);
        info(p.device, DEVINFO_GPS);  // the online handler reads the GPS text last
    }
    // Let everything arrive before the "window" handles any of it.
    while (window_.waiting() < sent.size()) {
        std::this_thread::sleep_for(5ms);
    }
    for (const auto& [dev, fix] : sent) {
        const Posted p = next();
        ASSERT_EQ(p.kind, NOTIFY_DEVICE_GPS);
        EXPECT_EQ(names[p.device], dev == "a" ? "A" : "B");
        EXPECT_EQ(info(p.device, DEVINFO_GPS), fix);
    }
}

TEST_F(LibraryNetworkTest, AHostNameIsLookedUp) {
    SimProcess sim;
    sim.send("wait-login\nonline a A 1\n");
    MyVardoApp_SetCenterServer(app_, "localhost", sim.tcpPort(), 0);
    MyVardoApp_Login(app_, "root", "kiwa");
    EXPECT_EQ(handle().name, "A");
    EXPECT_EQ(MyVardoApp_IsActive(app_), 1);
}

TEST_F(LibraryNetworkTest, AWrongPasswordStopsTheRetries) {
    SimProcess sim;
    login(sim.tcpPort(), "guess");
    EXPECT_TRUE(
        log_.waitFor("refused the login of user 'root': 'bad credentials'; not trying again"))
        << log_.all();
    // Long enough for several retries, had there been any.
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(testsim::countOf(sim.log(), "refused: bad credentials"), 1) << sim.log();
    EXPECT_EQ(MyVardoApp_IsActive(app_), 0);
    EXPECT_EQ(window_.waiting(), 0u);
}

TEST_F(LibraryNetworkTest, TheServerMayStartAfterTheClient) {
    const std::uint16_t port = testsim::freePort();
    login(port);
    EXPECT_TRUE(
        log_.waitFor("cannot connect to the center server 127.0.0.1:" + std::to_string(port)))
        << log_.all();
    EXPECT_EQ(MyVardoApp_IsActive(app_), 0);
    SimProcess sim({"--tcp-port", std::to_string(port), "--udp-port", "0"});
    sim.send("wait-login\nonline late Late 1\n");
    EXPECT_EQ(next().kind, NOTIFY_DEVICE_ONLINE);
    EXPECT_EQ(MyVardoApp_IsActive(app_), 1);
}

TEST_F(LibraryNetworkTest, AfterAReconnectNoDeviceIsReportedTwice) {
    SimProcess sim;
    sim.send("wait-login\nonline a A 1\nonline b B 1\n");
    login(sim.tcpPort());
    const Seen a = handle();
    const Seen b = handle();
    ASSERT_EQ(a.name, "A");
    ASSERT_EQ(b.name, "B");

    // While the client is away, b leaves and c arrives.
    sim.send("drop\noffline b\nonline c C 1\nwait-login\ngps a after\n");
    const Seen c = handle();
    EXPECT_EQ(c.kind, NOTIFY_DEVICE_ONLINE);
    EXPECT_EQ(c.name, "C");
    const Seen gone = handle();
    EXPECT_EQ(gone.kind, NOTIFY_DEVICE_OFFLINE);
    EXPECT_EQ(gone.device, b.device);
    const Seen moved = handle();
    EXPECT_EQ(moved.kind, NOTIFY_DEVICE_GPS);
    EXPECT_EQ(moved.device, a.device);
    EXPECT_EQ(moved.gps, "after");
    EXPECT_EQ(MyVardoApp_IsActive(app_), 1);
    EXPECT_EQ(log_.count("logged in to the center server 127.0.0.1:" +
                         std::to_string(sim.tcpPort()) + " again"),
              1);
    EXPECT_EQ(window_.next(100ms).has_value(), false);
}

// Reads lines from the peer until an `ack`; its number, 0 when none came.
std::uint64_t nextAck(LineConnection& peer, std::chrono::milliseconds limit = 10s) {
    while (const auto line = peer.readLine(limit)) {
        const json j = json::parse(*line);
        if (j.at("op") == "ack") {
            return j.at("seq").get<std::uint64_t>();
        }
    }
    return 0;
}

TEST_F(LibraryNetworkTest, EventsAreAcknowledgedAndWhatComesAgainAfterAReconnectIsPostedOnce) {
    RawListener center;
    login(center.port());
    {
        LineConnection peer = center.accept();
        const auto hello = peer.readLine();
        ASSERT_TRUE(hello.has_value());
        EXPECT_EQ(json::parse(*hello).value("acks", false), true);
        peer.send(R"({"op":"login_ok","media_key":1,"epoch":9})"
                  "\n"
                  R"({"op":"online","dev":"a","name":"A","channels":1,"gps":"1","seq":1})"
                  "\n"
                  R"({"op":"synced","count":1})"
                  "\n"
                  R"({"op":"gps","dev":"a","gps":"2","seq":2})"
                  "\n"
                  R"({"op":"gps","dev":"a","gps":"3","seq":3})"
                  "\n");
        EXPECT_EQ(handle().gps, "1");
        EXPECT_EQ(handle().gps, "2");
        EXPECT_EQ(handle().gps, "3");
        EXPECT_EQ(nextAck(peer), 3u);
    }  // lost; as far as the server knows, 3 might not have arrived
    {
        LineConnection peer = center.accept();
        ASSERT_TRUE(peer.readLine().has_value());
        peer.send(R"({"op":"login_ok","media_key":1,"epoch":9})"
                  "\n"
                  R"({"op":"online","dev":"a","name":"A","channels":1,"gps":"4","seq":4})"
                  "\n"
                  R"({"op":"synced","count":1})"
                  "\n"
                  R"({"op":"gps","dev":"a","gps":"3","seq":3})"
                  "\n"
                  R"({"op":"gps","dev":"a","gps":"4","seq":4})"
                  "\n");
        // The list's state shows once; the event handed on before does not
        // come twice, the new one does.
        EXPECT_EQ(handle().gps, "4");
        EXPECT_EQ(window_.next(300ms).has_value(), false);
        // What was acknowledged before goes again, since that may be lost too.
        EXPECT_EQ(nextAck(peer), 4u);
    }
    // A center that numbers anew sends nothing again: its list's data are
    // news, and its events are new whatever their number.
    LineConnection peer = center.accept();
    ASSERT_TRUE(peer.readLine().has_value());
    peer.send(R"({"op":"login_ok","media_key":1,"epoch":10})"
              "\n"
              R"({"op":"online","dev":"a","name":"A","channels":1,"gps":"moved","seq":1})"
              "\n"
              R"({"op":"synced","count":1})"
              "\n"
              R"({"op":"online","dev":"b","name":"B","channels":1,"gps":"x","seq":2})"
              "\n");
    const Seen moved = handle();
    EXPECT_EQ(moved.kind, NOTIFY_DEVICE_GPS);
    EXPECT_EQ(moved.gps, "moved");
    const Seen b = handle();
    EXPECT_EQ(b.name, "B");
    EXPECT_EQ(nextAck(peer), 2u);
}

// What the window took is acknowledged only once the caller has said it keeps
// it: a caller that crashes with notifications not yet stored gets them again.
TEST_F(LibraryNetworkTest, WhenAskedOnlyWhatTheCallerKeepsIsAcknowledged) {
    MyVardoApp_AckWhenDurable(app_);
    RawListener center;
    login(center.port());
    LineConnection peer = center.accept();
    ASSERT_TRUE(peer.readLine().has_value());
    peer.send(R"({"op":"login_ok","media_key":1,"epoch":9})"
              "\n"
              R"({"op":"online","dev":"a","name":"A","channels":1,"gps":"5","seq":5})"
              "\n"
              R"({"op":"synced","count":1})"
              "\n"
              R"({"op":"gps","dev":"a","gps":"3","seq":3})"
              "\n"
              R"({"op":"gps","dev":"a","gps":"6","seq":6})"
              "\n"
              R"({"op":"offline","dev":"a","seq":7})"
              "\n");
    // Each notification's number, taken before its data are read: the
    // listed device names its latest event without being one.
    std::vector<VARDO_EVENT_NUMBER> numbers;
    for (int i = 0; i < 4; ++i) {
        const Posted p = next();
        VARDO_EVENT_NUMBER number;
        EXPECT_EQ(MyVardoDev_TakeEventNumber(static_cast<HVARDODEV>(p.device), &number), 1);
        numbers.push_back(number);
        info(p.device, DEVINFO_GPS);
    }
    ASSERT_EQ(numbers.size(), 4u);
    EXPECT_EQ(numbers[0].epoch, 9u);
    EXPECT_EQ(numbers[0].seq, 5u);
    EXPECT_EQ(numbers[0].flags, EVENT_NUMBER_LISTED);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(numbers[i].epoch, 9u);
        EXPECT_EQ(numbers[i].flags, 0u);
    }
    EXPECT_EQ(numbers[1].seq, 3u);
    EXPECT_EQ(numbers[2].seq, 6u);
    EXPECT_EQ(numbers[3].seq, 7u);
    VARDO_EVENT_NUMBER none{1, 1, 1};
    EXPECT_EQ(MyVardoDev_TakeEventNumber(static_cast<HVARDODEV>(1u << 31), &none), 0);
    EXPECT_EQ(none.seq, 1u);

    // Handed on, not kept: no acknowledgement over two ticks.
    EXPECT_EQ(nextAck(peer, 2500ms), 0u);
    // Another numbering's point counts for nothing here.
    MyVardoApp_SetDurable(app_, 8, 100);
    EXPECT_EQ(nextAck(peer, 2500ms), 0u);
    MyVardoApp_SetDurable(app_, 9, 6);
    EXPECT_EQ(nextAck(peer), 6u);
    // Never above what was handed on.
    MyVardoApp_SetDurable(app_, 9, 50);
    EXPECT_EQ(nextAck(peer), 7u);
}

// Events that made no notification (of a device never online here) need
// nothing kept: once the notifications before them are, they are
// acknowledged too, at the next tick, without waiting for a later event.
TEST_F(LibraryNetworkTest, EventsThatMadeNoNotificationDoNotHoldTheAcknowledgementBack) {
    MyVardoApp_AckWhenDurable(app_);
    RawListener center;
    login(center.port());
    LineConnection peer = center.accept();
    ASSERT_TRUE(peer.readLine().has_value());
    peer.send(R"({"op":"login_ok","media_key":1,"epoch":9})"
              "\n"
              R"({"op":"synced","count":0})"
              "\n"
              R"({"op":"online","dev":"a","name":"A","channels":1,"gps":"1","seq":1})"
              "\n"
              R"({"op":"gps","dev":"a","gps":"2","seq":2})"
              "\n"
              R"({"op":"alarm","dev":"nobody","alarm":1,"seq":3})"
              "\n"
              R"({"op":"event","dev":"nobody","kind":164,"seq":4})"
              "\n");
    for (int i = 0; i < 2; ++i) {
        const Posted p = next();
        VARDO_EVENT_NUMBER number;
        MyVardoDev_TakeEventNumber(static_cast<HVARDODEV>(p.device), &number);
        info(p.device, DEVINFO_GPS);
    }
    EXPECT_EQ(nextAck(peer, 2500ms), 0u);
    MyVardoApp_SetDurable(app_, 9, 2);
    EXPECT_EQ(nextAck(peer), 4u);
}

TEST_F(LibraryNetworkTest, DevicesKeepTheirHandleAndUserDataForTheInstancesLife) {
    SimProcess sim;
    sim.send("wait-login\nonline a A 2\n");
    login(sim.tcpPort());
    const Seen first = handle();
    MyVardoDev_SetUserData(static_cast<HVARDODEV>(first.device), 41);
    sim.send("offline a\nonline a A2 2\n");
    EXPECT_EQ(handle().kind, NOTIFY_DEVICE_OFFLINE);
    const Seen again = handle();
    EXPECT_EQ(again.device, first.device);
    EXPECT_EQ(MyVardoDev_GetUserData(static_cast<HVARDODEV>(again.device)), 41u);
    EXPECT_EQ(again.name, "A2");

    // A second instance sees the same device under a handle of its own.
    testlib::RecordingTarget otherWindow;
    const HVARDOAPP other = MyVardoApp_Construct(&otherWindow, WM_DEVICE_NOTIFY);
    MyVardoApp_SetCenterServer(other, "127.0.0.1", sim.tcpPort(), 0);
    MyVardoApp_Login(other, "root", "kiwa");
    const auto seen = otherWindow.next();
    ASSERT_TRUE(seen.has_value());
    EXPECT_NE(seen->device, first.device);
    EXPECT_NE(static_cast<HVARDOAPP>(seen->device), other);
    EXPECT_EQ(MyVardoDev_GetUserData(static_cast<HVARDODEV>(seen->device)), 0u);
    MyVardoApp_Destruct(other);
    EXPECT_EQ(info(seen->device, DEVINFO_NAME), "");  // gone with its instance
    EXPECT_EQ(info(first.device, DEVINFO_NAME), "A2");
}

TEST_F(LibraryNetworkTest, LogoutAndDestructDoNotWaitForASilentPeer) {
    RawListener silent;
    login(silent.port());
    LineConnection peer = silent.accept();
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(peer.readLine().has_value());  // the login, never answered
    MyVardoApp_Logout(app_);
    EXPECT_EQ(MyVardoApp_IsActive(app_), 0);
    EXPECT_TRUE(peer.waitClosed());

    login(silent.port());
    LineConnection second = silent.accept();
    ASSERT_TRUE(second.valid());
    MyVardoApp_Destruct(app_);
    app_ = 0;
    EXPECT_TRUE(second.waitClosed());
}

TEST_F(LibraryNetworkTest, LogoutOfALoggedInSessionSaysGoodbye) {
    RawListener center;
    LineConnection peer = loggedInPeer(center);
    ASSERT_TRUE(peer.valid());
    while (MyVardoApp_IsActive(app_) == 0) {
        std::this_thread::sleep_for(5ms);
    }
    MyVardoApp_Logout(app_);
    const auto goodbye = peer.readLine();
    ASSERT_TRUE(goodbye.has_value());
    EXPECT_EQ(json::parse(*goodbye)["op"], "logout");
}

TEST_F(LibraryNetworkTest, ASilentServerIsLeftAndTriedAgain) {
    setPings(50ms, 300ms);
    RawListener center;
    LineConnection first = loggedInPeer(center);
    ASSERT_TRUE(first.valid());
    // Pings come, get no answer, and the client gives the connection up.
    const auto ping = first.readLine();
    ASSERT_TRUE(ping.has_value());
    EXPECT_EQ(json::parse(*ping)["op"], "ping");
    EXPECT_TRUE(first.waitClosed());
    EXPECT_TRUE(log_.waitFor("the server has been silent for 300 ms")) << log_.all();
    LineConnection second = center.accept();
    EXPECT_TRUE(second.valid());
    EXPECT_EQ(MyVardoApp_IsActive(app_), 1);  // still trying: still active
}

TEST_F(LibraryNetworkTest, AnAnsweringServerIsKeptWithPings) {
    setPings(20ms, 200ms);
    RawListener center;
    LineConnection peer = loggedInPeer(center);
    ASSERT_TRUE(peer.valid());
    for (int pings = 0; pings < 20; ++pings) {
        const auto line = peer.readLine();
        ASSERT_TRUE(line.has_value()) << "ping " << pings << "; log:\n" << log_.all();
        EXPECT_EQ(json::parse(*line)["op"], "ping");
        peer.send("{\"op\":\"pong\"}\n");
    }
    EXPECT_FALSE(center.accept(50ms).valid());  // no second connection
    EXPECT_EQ(log_.count("lost"), 0) << log_.all();
}

TEST_F(LibraryNetworkTest, WhatABrokenServerSendsEndsTheConnectionNotTheProcess) {
    RawListener center;
    login(center.port());
    const struct {
        std::string bytes;
        const char* logged;
    } cases[] = {
        {"garbage\n", "protocol error: not JSON"},
        {"{\"op\":\"online\",\"dev\":\"x\",\"name\":\"x\",\"channels\":9}\n",
         "protocol error: online: field 'channels' is out of range"},
        {std::string(70'000, '{'), "protocol error: a line longer than 64 KiB"},
        {"{\"op\":\"gps\",\"dev\":\"x\",\"gps\":1}\n", "field 'gps' is not a string"},
    };
    for (const auto& c : cases) {
        LineConnection peer = center.accept();
        ASSERT_TRUE(peer.valid()) << c.logged;
        ASSERT_TRUE(peer.readLine().has_value());
        peer.send(kLoginOk + c.bytes);
        EXPECT_TRUE(peer.waitClosed()) << c.logged;
        EXPECT_TRUE(log_.waitFor(c.logged)) << log_.all();
    }
    // And what is merely odd is taken in: invalid UTF-8, unknown ops and fields.
    LineConnection peer = center.accept();
    ASSERT_TRUE(peer.readLine().has_value());
    peer.send(kLoginOk +
              "{\"op\":\"news\",\"text\":\"hi\"}\n"
              "{\"op\":\"online\",\"dev\":\"x\",\"name\":\"Bus\xFF\",\"channels\":1,\"new\":1}\n");
    const Posted p = next();
    EXPECT_EQ(p.kind, NOTIFY_DEVICE_ONLINE);
    EXPECT_EQ(info(p.device, DEVINFO_NAME), "Bus\xEF\xBF\xBD");
}

TEST_F(LibraryNetworkTest, WhatTheServerSaysIsLoggedEscapedAndNeverWhole) {
    RawListener center;
    login(center.port());
    // A line of 60 kB that is no JSON: its log line says where, not what.
    LineConnection peer = center.accept();
    ASSERT_TRUE(peer.readLine().has_value());
    peer.send(kLoginOk + "{\"op\":\"gps\",\"dev\":\"" + std::string(60'000, 'A') + "\n");
    ASSERT_TRUE(log_.waitFor("protocol error: not JSON")) << log_.all();
    for (const auto& line : log_.lines()) {
        EXPECT_LT(line.size(), 400u) << line.substr(0, 400);
    }
    // A refusal whose reason would forge log lines of its own.
    peer = center.accept();
    ASSERT_TRUE(peer.readLine().has_value());
    peer.send(
        "{\"op\":\"login_failed\",\"reason\":\"no\\nvardo-event-server: service "
        "stopped\\u001b[2J\"}\n");
    ASSERT_TRUE(log_.waitFor("refused the login")) << log_.all();
    EXPECT_TRUE(log_.waitFor("'no\\x0avardo-event-server: service stopped\\x1b[2J'")) << log_.all();
    for (const auto& line : log_.lines()) {
        EXPECT_EQ(line.find_first_of("\n\x1b"), std::string::npos) << line;
    }
}

TEST_F(LibraryNetworkTest, MediaRequestsGoOutAndRefusalsAreLogged) {
    SimProcess sim;
    sim.send("wait-login\nonline cam Cam 2\n");
    login(sim.tcpPort());
    const auto dev = static_cast<HVARDODEV>(next().device);
    const HVARDOCHN one = MyVardoDev_CreateChannel(dev, 1, &window_);
    EXPECT_NE(one, 0u);
    EXPECT_EQ(MyVardoDev_CreateChannel(dev, 3, &window_), 0u);  // the device has two
    sim.send("offline cam\n");
    EXPECT_EQ(next().kind, NOTIFY_DEVICE_OFFLINE);
    MyVardoChn_VSourceStart(one);
    EXPECT_TRUE(
        log_.waitFor("media of device 'cam' channel 1 refused: 'device \\'cam\\' is not online'"))
        << log_.all();
    MyVardoChn_VSourceStop(one);
}

TEST_F(LibraryNetworkTest, SettingsThatCannotWorkAreRefusedClearly) {
    const struct {
        const char* address;
        int port;
        const char* logged;
    } cases[] = {
        {"", 24680, "no center server address is set; not trying again"},
        {nullptr, 24680, "no center server address is set"},
        {"127.0.0.1", 0, "center server TCP port 0 is not between 1 and 65535"},
        {"127.0.0.1", 70000, "center server TCP port 70000 is not between 1 and 65535"},
    };
    for (const auto& c : cases) {
        MyVardoApp_SetCenterServer(app_, c.address, c.port, 0);
        MyVardoApp_Login(app_, "root", "kiwa");
        EXPECT_TRUE(log_.waitFor(c.logged)) << log_.all();
        EXPECT_EQ(MyVardoApp_IsActive(app_), 0);
    }
}

TEST(LibraryApi, UnknownHandlesDoNothing) {
    EXPECT_EQ(MyVardoApp_Construct(nullptr, WM_DEVICE_NOTIFY), 0u);
    for (const std::uint32_t h : {0u, 0xFFFFFFFFu, 123456u}) {
        MyVardoApp_SetCenterServer(h, "127.0.0.1", 1, 2);
        MyVardoApp_Login(h, nullptr, nullptr);
        MyVardoApp_Logout(h);
        EXPECT_EQ(MyVardoApp_IsActive(h), 0);
        MyVardoApp_Destruct(h);
        char buffer[4] = "abc";
        EXPECT_EQ(MyVardoDev_GetDevInfo(h, DEVINFO_NAME, buffer, sizeof buffer), 0);
        EXPECT_STREQ(buffer, "abc");
        MyVardoDev_SetUserData(h, 1);
        EXPECT_EQ(MyVardoDev_GetUserData(h), 0u);
        EXPECT_EQ(MyVardoDev_CreateChannel(h, 1, nullptr), 0u);
        MyVardoChn_VSourceStart(h);
        MyVardoChn_VSourceStop(h);
        MyVardoChn_ASourceStart(h);
        MyVardoChn_ASourceStop(h);
        MyVardoChn_RecordStart(h, "x.avi", 0);
        MyVardoChn_RecordStop(h);
        EXPECT_EQ(MyVardoChn_IsRecording(h), 0);
    }
}

// An instance needs descriptors for its event loop. Without any left the
// caller gets no handle, as before, and the operator learns why.
TEST(LibraryApi, AnInstanceThatCannotBeBuiltGivesNoHandleAndIsLogged) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers of that build probe memory through a pipe; without
    // descriptors they report the probe's failure as a fault of ours.
    GTEST_SKIP() << "needs descriptors the sanitizer build uses itself";
#endif
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit none = saved;
    none.rlim_cur = 0;
    testlib::LogCapture log;
    testlib::RecordingTarget window;
    vardo::setLogSink([&log](std::string_view line) { log.add(line); });
    const int limited = setrlimit(RLIMIT_NOFILE, &none);
    const HVARDOAPP app = MyVardoApp_Construct(&window, WM_DEVICE_NOTIFY);
    const int restored = setrlimit(RLIMIT_NOFILE, &saved);
    vardo::setLogSink({});
    ASSERT_EQ(limited, 0);
    ASSERT_EQ(restored, 0);

    EXPECT_EQ(app, 0u);
    MyVardoApp_Destruct(app);
    EXPECT_EQ(log.count("cannot create the library instance: "), 1) << log.all();
}

}  // namespace
