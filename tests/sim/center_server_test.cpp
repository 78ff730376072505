#include "sim/center_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "protocol/media_datagram.h"
#include "testsupport/io_thread/io_thread.h"
#include "testsupport/loopback/loopback.h"

namespace sim {
namespace {

using nlohmann::json;
using testsim::LineConnection;

// The server on its own thread, reached from the test through io_.call().
class CenterServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServerConfig config;
        config.tcpPort = 0;
        config.udpPort = 0;
        server_ = std::make_unique<CenterServer>(io_.context(), config);
        ASSERT_EQ(server_->open(), "");
        io_.start();
    }

    void TearDown() override {
        io_.call([this] {
            server_->close();
            return 0;
        });
        io_.stop();
        server_.reset();
    }

    LineConnection loggedIn() {
        LineConnection c = testsim::connectTo(io_.call([this] { return server_->tcpPort(); }));
        c.send(R"({"op":"login","version":1,"user":"root","password":"kiwa"})"
               "\n");
        const auto answer = c.readLine();
        EXPECT_TRUE(answer && json::parse(*answer)["op"] == "login_ok") << answer.value_or("");
        return c;
    }

    static json next(LineConnection& c) {
        const auto line = c.readLine();
        return line ? json::parse(*line) : json();
    }

    testsim::IoThread io_;
    std::unique_ptr<CenterServer> server_;
};

TEST_F(CenterServerTest, RefusedLoginsAreAnsweredAndClosed) {
    const struct {
        const char* login;
        const char* reason;
    } cases[] = {
        {R"({"op":"login","version":1,"user":"root","password":"wrong"})", "bad credentials"},
        {R"({"op":"login","version":1,"user":"admin","password":"kiwa"})", "bad credentials"},
        {R"({"op":"login","version":3,"user":"root","password":"kiwa"})",
         "unsupported protocol version 3"},
    };
    for (const auto& c : cases) {
        LineConnection client = testsim::connectTo(io_.call([this] { return server_->tcpPort(); }));
        client.send(std::string(c.login) + "\n");
        const json answer = next(client);
        EXPECT_EQ(answer["op"], "login_failed") << c.login;
        EXPECT_EQ(answer["reason"], c.reason) << c.login;
        EXPECT_TRUE(client.waitClosed()) << c.login;
    }
    EXPECT_EQ(io_.call([this] { return server_->logins(); }), 0u);
}

TEST_F(CenterServerTest, BrokenClientsAreClosed) {
    const std::string cases[] = {
        R"({"op":"ping"})"
        "\n",          // before login
        "not json\n",  // garbage
        R"({"op":"login","version":"1","user":"root","password":"kiwa"})"
        "\n",                         // wrong type
        std::string(70 * 1024, 'x'),  // a line past the bound, no newline yet
    };
    for (const auto& bytes : cases) {
        LineConnection client = testsim::connectTo(io_.call([this] { return server_->tcpPort(); }));
        client.send(bytes);
        EXPECT_TRUE(client.waitClosed()) << bytes.substr(0, 40);
    }
}

TEST_F(CenterServerTest, ALoginGetsTheOnlineDevicesInOrderThenSynced) {
    io_.call([this] {
        server_->online({"b", "B 2", "V2", "D2", 2, "$GPRMC,1"});
        server_->online({"a", "A 1", "V1", "D1", 1, ""});
        server_->online({"c", "C 3", "", "", 4, ""});
        EXPECT_EQ(server_->gps("a", "$GNRMC,2", "V1b", std::nullopt), "");
        EXPECT_EQ(server_->offline("c"), "");
        return 0;
    });
    LineConnection client = loggedIn();
    json first = next(client);
    EXPECT_EQ(first["op"], "online");
    EXPECT_EQ(first["dev"], "b");
    EXPECT_EQ(first["channels"], 2);
    json second = next(client);
    EXPECT_EQ(second["dev"], "a");
    EXPECT_EQ(second["gps"], "$GNRMC,2");  // the latest data, not the first
    EXPECT_EQ(second["vehicle"], "V1b");
    EXPECT_EQ(second["driver"], "D1");
    json synced = next(client);
    EXPECT_EQ(synced["op"], "synced");
    EXPECT_EQ(synced["count"], 2);
}

TEST_F(CenterServerTest, EventsReachEveryLoggedInClient) {
    io_.call([this] {
        server_->online({"x", "X", "", "", 1, ""});
        server_->gps("x", "unseen");  // nobody to send it to
        return 0;
    });
    LineConnection one = loggedIn();
    LineConnection two = loggedIn();
    for (LineConnection* c : {&one, &two}) {
        EXPECT_EQ(next(*c)["gps"], "unseen");  // in the online list
        EXPECT_EQ(next(*c)["op"], "synced");
    }
    io_.call([this] {
        server_->gps("x", "seen");
        server_->alarm("x", 5);
        server_->event("x", 0xA1);
        return 0;
    });
    for (LineConnection* c : {&one, &two}) {
        EXPECT_EQ(next(*c)["gps"], "seen");
        const json alarm = next(*c);
        EXPECT_EQ(alarm["op"], "alarm");
        EXPECT_EQ(alarm["alarm"], 5);
        const json event = next(*c);
        EXPECT_EQ(event["kind"], 0xA1);
    }
    // GPS updates count once per client that got them.
    EXPECT_EQ(io_.call([this] { return server_->gpsSent(); }), 2u);
}

TEST_F(CenterServerTest, PingsAreAnsweredAndUnknownOpsIgnored) {
    LineConnection client = loggedIn();
    EXPECT_EQ(next(client)["op"], "synced");
    client.send("{\"op\":\"whatever\",\"x\":1}\n{\"op\":\"ping\"}\n");
    EXPECT_EQ(next(client)["op"], "pong");
}

TEST_F(CenterServerTest, CommandsForDevicesThatAreNotOnlineAreRefused) {
    io_.call([this] {
        EXPECT_NE(server_->gps("ghost", "x").find("not online"), std::string::npos);
        EXPECT_NE(server_->offline("ghost").find("not online"), std::string::npos);
        EXPECT_NE(server_->alarm("ghost", 1).find("not online"), std::string::npos);
        EXPECT_NE(server_->event("ghost", 1).find("not online"), std::string::npos);
        EXPECT_NE(server_->online({"", "n", "", "", 1, ""}), "");
        // A message the protocol cannot carry is refused, and nothing changes.
        EXPECT_NE(server_->online({"big", std::string(70 * 1024, 'n'), "", "", 1, ""}), "");
        EXPECT_FALSE(server_->isOnline("big"));
        return 0;
    });
}

TEST_F(CenterServerTest, DropClosesClientsButDevicesStayOnline) {
    io_.call([this] { return server_->online({"x", "X", "", "", 1, ""}); });
    LineConnection client = loggedIn();
    io_.call([this] {
        server_->dropClients();
        return 0;
    });
    EXPECT_TRUE(client.waitClosed());
    LineConnection again = loggedIn();
    EXPECT_EQ(next(again)["dev"], "x");
}

TEST_F(CenterServerTest, MediaOfWhatDoesNotExistIsRefused) {
    io_.call([this] { return server_->online({"two", "Two", "", "", 2, ""}); });
    LineConnection client = loggedIn();
    EXPECT_EQ(next(client)["op"], "online");
    EXPECT_EQ(next(client)["op"], "synced");
    const struct {
        const char* request;
        const char* reason;
    } cases[] = {
        {R"({"op":"media_open","dev":"ghost","chn":1,"video":true})",
         "device 'ghost' is not online"},
        {R"({"op":"media_open","dev":"two","chn":3,"video":true})", "device 'two' has 2 channels"},
        {R"({"op":"media_open","dev":"two","chn":1})", "neither video nor audio asked for"},
    };
    for (const auto& c : cases) {
        client.send(std::string(c.request) + "\n");
        const json answer = next(client);
        EXPECT_EQ(answer["op"], "media_failed") << c.request;
        EXPECT_EQ(answer["reason"], c.reason) << c.request;
    }
    EXPECT_EQ(io_.call([this] { return server_->activeStreams(); }), 0u);
}

// A UDP socket on loopback.
class UdpPeer {
public:
    UdpPeer() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    ~UdpPeer() { ::close(fd_); }
    void sendTo(std::uint16_t port, const std::vector<std::uint8_t>& bytes) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    // The next datagram; empty when none came within `limitMs`.
    std::vector<std::uint8_t> receive(int limitMs = 5000) {
        timeval limit{limitMs / 1000, (limitMs % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::vector<std::uint8_t> buffer(2048);
        const auto n = recv(fd_, buffer.data(), buffer.size(), 0);
        buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buffer;
    }

private:
    int fd_;
};

TEST_F(CenterServerTest, AnOpenedChannelStreamsToTheClientThatRegistered) {
    io_.call([this] { return server_->online({"cam", "Cam", "", "", 1, ""}); });
    LineConnection client = testsim::connectTo(io_.call([this] { return server_->tcpPort(); }));
    client.send(R"({"op":"login","version":1,"user":"root","password":"kiwa"})"
                "\n");
    const auto key = next(client)["media_key"].get<std::uint32_t>();
    next(client);  // online
    next(client);  // synced

    UdpPeer udp;
    const auto udpPort = io_.call([this] { return server_->udpPort(); });
    // A stranger's registration is not taken.
    udp.sendTo(udpPort, vardo::protocol::encodeRegister({key + 1}));
    client.send(R"({"op":"media_open","dev":"cam","chn":1,"video":true})"
                "\n");
    const json ok = next(client);
    ASSERT_EQ(ok["op"], "media_ok") << ok.dump();
    EXPECT_EQ(ok["video"]["codec"], "mjpeg");
    EXPECT_TRUE(udp.receive(300).empty());

    udp.sendTo(udpPort, vardo::protocol::encodeRegister({key}));
    const auto datagram = udp.receive();
    const auto decoded = vardo::protocol::decodeMediaDatagram(datagram);
    ASSERT_TRUE(decoded.datagram) << decoded.error;
    EXPECT_EQ(decoded.datagram->header.kind, vardo::protocol::MediaKind::Video);
    EXPECT_EQ(decoded.datagram->header.stream, ok["stream"].get<std::uint32_t>());

    // A client that leaves stops its streams.
    client.close();
    for (int i = 0; i < 200 && io_.call([this] { return server_->activeStreams(); }) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(io_.call([this] { return server_->activeStreams(); }), 0u);
}

}  // namespace
}  // namespace sim
