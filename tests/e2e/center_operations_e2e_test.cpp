// vardo-center as an admin runs it: what it refuses to start with, what it
// tells terminals on a wildcard address, and what it shows while it runs
// (the status line, the metrics, the list of terminals online).

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "jt1078/av_control.h"
#include "jt808/message_ids.h"
#include "tests/center/test_terminal.h"
#include "testsupport/loopback/loopback.h"
#include "testsupport/process/center_process.h"
#include "testsupport/process/child_process.h"
#include "testsupport/process/event_server_run.h"

namespace e2e {
namespace {

using centertest::makeLocation;
using centertest::TestTerminal;
using namespace std::chrono_literals;

// A port nobody listens on at this moment, for an option that takes no 0.
int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    ::close(fd);
    return ntohs(a.sin_port);
}

class CenterOperations : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vardo-center-ops-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        data_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(data_); }

    // Runs vardo-center to its end; its exit status, its log in `log`.
    int runCenter(std::vector<std::string> args, std::string& log) {
        args.insert(args.begin(), centerPath());
        testsim::ChildProcess center(args);
        const int status = center.wait(20s);
        log = center.errors();
        return status;
    }

    std::string data_;
};

TEST_F(CenterOperations, ConfigurationMistakesEndWithStatus78AndSayHowToMendThem) {
    std::string log;
    const std::vector<std::string> freePorts = {"--jt808-port", "0",  "--tcp-port",   "0",
                                                "--udp-port",   "0",  "--media-port", "0",
                                                "--data",       data_};
    // Facing the network with the well-known default login.
    auto args = freePorts;
    args.insert(args.end(), {"--listen", "0.0.0.0"});
    EXPECT_EQ(runCenter(args, log), 78);
    EXPECT_NE(log.find("listening on 0.0.0.0 needs the event servers' login: give --user NAME "
                       "--password PW or --users FILE"),
              std::string::npos)
        << log;
    args = freePorts;
    args.insert(args.end(), {"--listen", "10.1.2.3"});
    EXPECT_EQ(runCenter(args, log), 78) << log;
    // Any loopback address keeps the default, for tests and demonstrations.
    {
        CenterProcess loopback(data_, {"--listen", "127.0.0.2"});
        EXPECT_TRUE(loopback.started()) << loopback.log();
        EXPECT_EQ(loopback.stop(), 0) << loopback.log();
    }

    // A configuration file with a key no option has.
    std::ofstream(data_ + "/center.conf") << "user = ops\npassword = s3cret\njt808-prot = 7611\n";
    EXPECT_EQ(runCenter({"--config", data_ + "/center.conf"}, log), 78);
    EXPECT_NE(log.find(data_ + "/center.conf:3: unknown option 'jt808-prot'"), std::string::npos)
        << log;
    // A mistake typed on the command line stays a usage error.
    EXPECT_EQ(runCenter({"--jt808-port", "seventy"}, log), 2);
    EXPECT_NE(log.find("usage: vardo-center"), std::string::npos) << log;
}

// Two centers on one data folder would write into one journal: the second
// is refused before it touches anything, and the folder is free again once
// the first has gone.
TEST_F(CenterOperations, ASecondCenterOnTheSameDataFolderIsRefused) {
    auto first = std::make_unique<CenterProcess>(data_, std::vector<std::string>{});
    ASSERT_TRUE(first->started()) << first->log();
    std::string log;
    EXPECT_EQ(runCenter({"--jt808-port", "0", "--tcp-port", "0", "--udp-port", "0", "--media-port",
                         "0", "--listen", "127.0.0.1", "--data", data_},
                        log),
              1);
    EXPECT_NE(log.find("another vardo-center already runs on the data folder " + data_),
              std::string::npos)
        << log;
    EXPECT_EQ(first->stop(), 0) << first->log();
    first.reset();
    CenterProcess again(data_, {});
    EXPECT_TRUE(again.started()) << again.log();
}

TEST_F(CenterOperations, TheLimitsOnStrangersFollowTheirOptions) {
    CenterProcess center(
        data_, {"--max-unproven-media", "4", "--max-unproven-media-per-address", "2",
                "--media-proof-timeout", "1", "--max-event-server-logins", "4",
                "--max-event-server-logins-per-address", "2", "--event-server-login-timeout", "1",
                "--free-login-failures", "0"});
    ASSERT_TRUE(center.started()) << center.log();
    for (const std::uint16_t port : {center.mediaPort(), center.tcpPort()}) {
        // Two idle connections from one address are held; the third is
        // closed at once.
        std::vector<testsim::LineConnection> idle;
        for (int i = 0; i < 3; ++i) {
            idle.push_back(testsim::connectTo(port));
            ASSERT_TRUE(idle.back().valid());
        }
        EXPECT_TRUE(idle[2].waitClosed(5s)) << port;
        // The two go after the second given, well before the default 10 s
        // (media) and 30 s (logins).
        EXPECT_TRUE(idle[0].waitClosed(6s)) << port;
        EXPECT_TRUE(idle[1].waitClosed(3s)) << port;
    }
    // No failure is free: right after a wrong password even the right one
    // waits (by default five wrong ones would not count yet).
    for (const std::string password : {"wrong", "kiwa"}) {
        auto login = testsim::connectTo(center.tcpPort());
        login.send(R"({"op":"login","version":2,"user":"root","password":")" + password + "\"}\n");
        const auto answer = login.readLine(5s);
        ASSERT_TRUE(answer.has_value()) << center.log();
        EXPECT_NE(answer->find(password == "wrong" ? "bad credentials" : "too many refused logins"),
                  std::string::npos)
            << *answer;
    }
    EXPECT_EQ(center.stop(), 0) << center.log();
}

TEST_F(CenterOperations, OnAWildcardAddressEachTerminalIsToldTheAddressItReached) {
    CenterProcess center(data_, {"--listen", "0.0.0.0", "--open-registration", "--user", "root",
                                 "--password", "kiwa"});
    ASSERT_TRUE(center.started()) << center.log();
    RunSettings settings;
    settings.udpPort = center.udpPort();
    settings.recordDuration = 2;
    EventServerRun server(center.tcpPort(), settings);
    server.start();
    ASSERT_TRUE(center.waitForLog("logged in as 'root'")) << center.log() << server.log();

    std::size_t online = 0;
    const auto askedHost = [&](const std::string& host, const std::string& phone) {
        TestTerminal terminal(center.jt808Port(), phone, jt808::Version::V2013, {}, host);
        EXPECT_EQ(terminal.authenticate(terminal.registerAs("粤B" + phone.substr(7))), 0)
            << center.log();
        // The online row tells that the event server has created its channels.
        ++online;
        EXPECT_TRUE(server.waitForRows(online, online)) << server.log();
        constexpr std::uint32_t kEmergency = 1;
        terminal.send(jt808::msg::kLocation, jt808::encodeLocation(makeLocation(
                                                 22.5, 114.0, 30, 90, "261208100000", kEmergency)));
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < end) {
            const auto m = terminal.receive(1s);
            if (m && m->header.msgId == jt1078::kMsgRealtimeRequest) {
                const auto request = jt1078::decodeRealtimeRequest(m->body);
                return request ? request->serverAddress : std::string("undecodable");
            }
        }
        return std::string("no request");
    };
    EXPECT_EQ(askedHost("127.0.0.2", "013912340002"), "127.0.0.2") << center.log();
    EXPECT_EQ(askedHost("127.0.0.3", "013912340003"), "127.0.0.3") << center.log();
    server.stop();
}

TEST_F(CenterOperations, StatusLineAndMetricsCountTheSameTerminalsAndEventServers) {
    const int metricsPort = freeLoopbackPort();
    CenterProcess center(data_, {"--open-registration", "--status-interval", "0", "--metrics-port",
                                 std::to_string(metricsPort)});
    ASSERT_TRUE(center.started()) << center.log();
    ASSERT_TRUE(center.waitForLog("metrics on http://127.0.0.1:" + std::to_string(metricsPort)))
        << center.log();
    EventServerRun server(center.tcpPort());
    server.start();
    ASSERT_TRUE(center.waitForLog("logged in as 'root'")) << center.log() << server.log();

    TestTerminal a(center.jt808Port(), "013912340010");
    ASSERT_EQ(a.authenticate(a.registerAs("粤B00010")), 0) << center.log();
    TestTerminal b(center.jt808Port(), "013912340011");
    ASSERT_EQ(b.authenticate(b.registerAs("粤B00011")), 0) << center.log();
    TestTerminal idle(center.jt808Port(), "013912340012");  // connected, never logged in
    EXPECT_EQ(a.report(makeLocation(22.5, 114.0, 30, 90, "261208100000")), 0);
    EXPECT_EQ(a.report(makeLocation(22.6, 114.0, 30, 90, "261208100010")), 0);
    EXPECT_EQ(b.report(makeLocation(22.7, 114.0, 30, 90, "261208100000")), 0);
    ASSERT_EQ(center.log().find("terminals: "), std::string::npos)
        << "--status-interval 0 writes no status line of its own: " << center.log();

    const std::string expected =
        "terminals: 3 connected, 2 authenticated; media streams: 0; "
        "event servers: 1; reports 3, media frames 0, "
        "refused connections 0";
    ::kill(center.pid(), SIGUSR1);
    EXPECT_TRUE(center.waitForLog(expected)) << center.log();
    // The journal is on by default; the event server acknowledges what it
    // journaled, so nothing stays unacknowledged for long.
    const std::string journal = "; journal ";
    EXPECT_TRUE(center.waitForLog(journal)) << center.log();
    EXPECT_NE(center.log().find(", reports refused while full 0"), std::string::npos)
        << center.log();

    // The metrics are published every second: wait for the same numbers.
    std::string body;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end &&
           body.find("\nvardo_center_location_reports_total 3\n") == std::string::npos) {
        httplib::Client client("127.0.0.1", metricsPort);
        if (const auto response = client.Get("/metrics")) {
            EXPECT_EQ(response->status, 200);
            body = response->body;
        }
        std::this_thread::sleep_for(100ms);
    }
    for (const char* line :
         {"\nvardo_center_terminals_connected 3\n", "\nvardo_center_terminals_authenticated 2\n",
          "\nvardo_center_media_streams 0\n", "\nvardo_center_event_servers 1\n",
          "# TYPE vardo_center_location_reports_total counter\n"
          "vardo_center_location_reports_total 3\n",
          "\nvardo_center_refused_connections_total 0\n", "\nvardo_center_events_dropped_total 0\n",
          "\nvardo_center_journal_full 0\n",
          "\nvardo_center_reports_refused_journal_full_total 0\n"}) {
        EXPECT_NE(body.find(line), std::string::npos) << line << " in\n" << body;
    }
    EXPECT_NE(body.find("\nvardo_center_journal_bytes "), std::string::npos) << body;
    EXPECT_NE(body.find("\nvardo_center_events_unacknowledged "), std::string::npos) << body;
    server.stop();
}

TEST_F(CenterOperations, ListShowsTheTerminalsOnlineInTheRunningCenter) {
    std::string log;
    EXPECT_EQ(runCenter({"--data", data_, "--list"}, log), 1);
    EXPECT_NE(log.find("no center is running with --data " + data_), std::string::npos) << log;

    auto center =
        std::make_unique<CenterProcess>(data_, std::vector<std::string>{"--open-registration"});
    ASSERT_TRUE(center->started()) << center->log();
    testsim::ChildProcess terminals({VARDO_TERMINAL_SIM_PATH, "--center", "127.0.0.1", "--port",
                                     std::to_string(center->jt808Port()), "--terminals", "3",
                                     "--location-interval", "0.5", "--route", "-33.86,151.2"});
    ASSERT_TRUE(center->waitForLog("logged in", 3)) << center->log() << terminals.errors();

    // The list is replaced every 2 s: wait until it shows every terminal
    // with a report.
    testsim::ChildProcess lister;
    std::string listed;
    const auto end = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < end &&
           (testsim::countOf(listed, "127.0.0.1:") < 3 ||
            listed.find("none yet") != std::string::npos)) {
        testsim::ChildProcess list({centerPath(), "--data", data_, "--list"});
        EXPECT_EQ(list.wait(10s), 0) << list.errors();
        listed = list.output();
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_NE(listed.find("3 terminals online at "), std::string::npos) << listed;
    EXPECT_NE(listed.find("PHONE        ADDRESS               LAST REPORT (UTC)   LATITUDE   "
                          "LONGITUDE   KM/H  PLATE\n"),
              std::string::npos)
        << listed;
    for (const char* phone :
         {"013912340000 127.0.0.1:", "013912340001 127.0.0.1:", "013912340002 127.0.0.1:"}) {
        EXPECT_NE(listed.find(phone), std::string::npos) << phone << " in\n" << listed;
    }
    EXPECT_NE(listed.find("'粤B12345'\n"), std::string::npos) << listed;
    // Sydney, as the route says: south and east.
    EXPECT_NE(listed.find(" -33.8"), std::string::npos) << listed;
    EXPECT_NE(listed.find(" 151.2"), std::string::npos) << listed;

    terminals.stop(SIGTERM);
    EXPECT_EQ(center->stop(), 0) << center->log();
    EXPECT_EQ(runCenter({"--data", data_, "--list"}, log), 1);
    EXPECT_NE(log.find("no center is running with --data " + data_), std::string::npos) << log;
}

}  // namespace
}  // namespace e2e
