// Attacks on the event servers' port from a second machine (127.0.0.2):
// guessed media keys move no client's media, guessed passwords cost time and
// few log lines, and slow or idle logins hold few slots briefly.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "centerlink/event_server_hub.h"
#include "protocol/json_codec.h"
#include "protocol/media_datagram.h"
#include "testsupport/io_thread/io_thread.h"
#include "testsupport/loopback/loopback.h"

namespace centerlink {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
constexpr const char* kStranger = "127.0.0.2";

// Remembers where each client's media is to go.
class EndpointBook final : public MediaProvider {
public:
    vardo::protocol::Message open(ClientId, const vardo::protocol::MediaOpen& request,
                                  const vardo::protocol::Online&) override {
        return vardo::protocol::MediaFailed{request.dev, request.chn, "none"};
    }
    void close(ClientId, const vardo::protocol::MediaClose&) override {}
    void forgetClient(ClientId) override {}
    void setEndpoint(ClientId client, const asio::ip::udp::endpoint& endpoint) override {
        std::lock_guard lock(mutex_);
        endpoints_[client] = endpoint;
    }
    void deviceOnline(const vardo::protocol::Online&) override {}
    void deviceOffline(const std::string&) override {}
    void stop() override {}

    std::map<ClientId, asio::ip::udp::endpoint> endpoints() {
        std::lock_guard lock(mutex_);
        return endpoints_;
    }

private:
    std::mutex mutex_;
    std::map<ClientId, asio::ip::udp::endpoint> endpoints_;
};

class HubAttackTest : public ::testing::Test {
protected:
    void start(std::chrono::milliseconds loginLimit = 30s) {
        HubConfig config;
        config.tcpPort = 0;
        config.udpPort = 0;
        config.users = {{"root", "s3cret-password"}};
        config.loginLimit = loginLimit;
        config.refusalLogPeriod = 400ms;
        config.log = [this](const std::string& line) {
            std::lock_guard lock(logMutex_);
            log_ += line + "\n";
        };
        hub_ = std::make_unique<EventServerHub>(io_.context(), config);
        hub_->setMediaProvider(&book_);
        ASSERT_EQ(hub_->open(), "");
        io_.start();
        tcpPort_ = io_.call([this] { return hub_->tcpPort(); });
        udpPort_ = io_.call([this] { return hub_->udpPort(); });
    }
    void TearDown() override {
        if (io_.running()) {
            io_.call([this] {
                hub_->close();
                return 0;
            });
            io_.stop();
        }
    }

    // The login's answer ("login_ok" with the key, or "login_failed").
    json login(testsim::LineConnection& c, const std::string& password, int version = 1) {
        c.send(json{{"op", "login"}, {"version", version}, {"user", "root"}, {"password", password}}
                   .dump() +
               "\n");
        const auto line = c.readLine(5s);
        return line ? json::parse(*line) : json();
    }
    void registerKey(const testsim::BoundUdp& from, vardo::protocol::MediaKey key) {
        const auto datagram = vardo::protocol::encodeRegister(key);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(udpPort_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(from.fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
    }
    std::string log() {
        std::lock_guard lock(logMutex_);
        return log_;
    }

    testsim::IoThread io_;
    EndpointBook book_;
    std::unique_ptr<EventServerHub> hub_;
    std::uint16_t tcpPort_ = 0;
    std::uint16_t udpPort_ = 0;
    std::mutex logMutex_;
    std::string log_;
};

TEST_F(HubAttackTest, GuessedMediaKeysMoveNoClientsMedia) {
    start();
    auto victim = testsim::connectTo(tcpPort_);
    const json ok = login(victim, "s3cret-password");
    ASSERT_EQ(ok["op"], "login_ok");
    const std::uint32_t key = ok["media_key"];
    const auto victimUdp = testsim::bindLoopbackUdp();
    registerKey(victimUdp, {key});

    // A second login from the stranger's machine: its key says nothing of
    // the victim's.
    auto stranger = testsim::connectTo(tcpPort_, kStranger);
    const json own = login(stranger, "s3cret-password");
    ASSERT_EQ(own["op"], "login_ok");
    const std::uint32_t strangerKey = own["media_key"];
    EXPECT_GT(std::max(key, strangerKey) - std::min(key, strangerKey), 1000u);

    // The victim's own key, its neighbours and 300,000 guesses from the
    // stranger.
    const auto strangerUdp = testsim::bindLoopbackUdp(kStranger);
    for (const std::uint32_t k : {key, key - 1, key + 1, strangerKey - 1, strangerKey + 1}) {
        registerKey(strangerUdp, {k});
    }
    std::mt19937 guesses(7);
    for (int i = 0; i < 300'000; ++i) {
        registerKey(strangerUdp, {guesses()});
    }
    registerKey(victimUdp, {key});  // the victim's repeat still counts
    std::this_thread::sleep_for(600ms);
    const auto endpoints = io_.call([this] { return book_.endpoints(); });
    ASSERT_TRUE(endpoints.contains(key));
    EXPECT_EQ(endpoints.at(key).port(), victimUdp.port) << "the victim's media stays with it";
    EXPECT_EQ(endpoints.size(), 1u) << "no guess registered anything";
    const std::string text = log();
    EXPECT_NE(text.find("refused media registrations from 127.0.0.2"), std::string::npos) << text;
    EXPECT_NE(text.find("not from the address of the key's control connection"), std::string::npos)
        << text;
    // 300,000 guesses, a handful of lines a period.
    EXPECT_LT(std::count(text.begin(), text.end(), '\n'), 100) << text;
}

// A version-2 login's key as the hub handed it out.
vardo::protocol::MediaKey wideKey(const json& loginOk) {
    const auto decoded = vardo::protocol::decodeLine(loginOk.dump());
    const auto& ok = std::get<vardo::protocol::LoginOk>(decoded.message);
    EXPECT_TRUE(ok.wideKey) << loginOk.dump();
    return {ok.mediaKey, ok.wideKey};
}

TEST_F(HubAttackTest, WideKeysOfNeighbouringLoginsShareNothingAGuessCanUse) {
    start();
    // Two event servers on one machine: what the second knows of its own
    // key must not lead to the first's, even from the first's address.
    auto victim = testsim::connectTo(tcpPort_);
    const json ok = login(victim, "s3cret-password", 2);
    ASSERT_EQ(ok["op"], "login_ok") << ok.dump();
    ASSERT_TRUE(ok["media_key"].is_string()) << ok.dump();
    const auto key = wideKey(ok);
    const auto victimUdp = testsim::bindLoopbackUdp();
    registerKey(victimUdp, key);

    auto neighbour = testsim::connectTo(tcpPort_);
    const auto neighbourKey = wideKey(login(neighbour, "s3cret-password", 2));
    // Random in all 64 bits: the high halves differ too (a 2^-32 chance
    // that they do not).
    EXPECT_NE(key.value >> 32, neighbourKey.value >> 32);
    EXPECT_NE(key.value & 0xFFFFFFFF, neighbourKey.value & 0xFFFFFFFF);

    const auto guesserUdp = testsim::bindLoopbackUdp();
    for (const std::uint64_t k : {neighbourKey.value - 1, neighbourKey.value + 1, key.value - 1,
                                  key.value + 1, key.value & 0xFFFFFFFF, key.value >> 32}) {
        registerKey(guesserUdp, {k, true});
        registerKey(guesserUdp, {k, false});
    }
    // The victim's key in the narrow form is another key: a version-1
    // guess cannot hit a version-2 client's low half.
    registerKey(guesserUdp, {key.value, false});
    std::this_thread::sleep_for(400ms);
    const auto endpoints = io_.call([this] { return book_.endpoints(); });
    ASSERT_EQ(endpoints.size(), 1u) << "no guess registered anything";
    ASSERT_TRUE(endpoints.contains(key.value));
    EXPECT_EQ(endpoints.at(key.value).port(), victimUdp.port) << "the victim's media stays with it";
    EXPECT_NE(log().find("no client holds the key"), std::string::npos) << log();

    // The neighbour's own registration works.
    registerKey(guesserUdp, neighbourKey);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(io_.call([this] { return book_.endpoints(); }).size(), 2u);
}

TEST_F(HubAttackTest, EveryVersionTheHubSpeaksGetsItsKeyWidthAndNoOtherIsTaken) {
    start();
    auto older = testsim::connectTo(tcpPort_);
    const json narrow = login(older, "s3cret-password", 1);
    ASSERT_EQ(narrow["op"], "login_ok") << narrow.dump();
    ASSERT_TRUE(narrow["media_key"].is_number_unsigned()) << narrow.dump();
    EXPECT_LE(narrow["media_key"].get<std::uint64_t>(), 0xFFFFFFFFu);
    // A version-1 client registers in its own 8-byte form; the 12-byte form
    // of the same value is not its key.
    const auto olderUdp = testsim::bindLoopbackUdp();
    const std::uint64_t value = narrow["media_key"];
    registerKey(olderUdp, {value, true});
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(io_.call([this] { return book_.endpoints(); }).empty());
    registerKey(olderUdp, {value, false});
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(io_.call([this] { return book_.endpoints(); }).contains(value));

    for (const int version : {0, 3, 99}) {
        auto c = testsim::connectTo(tcpPort_);
        const json refused = login(c, "s3cret-password", version);
        EXPECT_EQ(refused["op"], "login_failed") << version;
        EXPECT_EQ(refused["reason"], "unsupported protocol version " + std::to_string(version));
    }
}

TEST_F(HubAttackTest, GuessedPasswordsWaitAndAreSummedUp) {
    start();
    for (int i = 0; i < 200; ++i) {
        auto guesser = testsim::connectTo(tcpPort_, kStranger);
        EXPECT_EQ(login(guesser, "guess" + std::to_string(i))["op"], "login_failed");
    }
    // From that address even the right password waits now; not from others.
    auto lucky = testsim::connectTo(tcpPort_, kStranger);
    const json refused = login(lucky, "s3cret-password");
    EXPECT_EQ(refused["op"], "login_failed");
    auto real = testsim::connectTo(tcpPort_);
    EXPECT_EQ(login(real, "s3cret-password")["op"], "login_ok");
    std::this_thread::sleep_for(600ms);
    const std::string text = log();
    EXPECT_NE(text.find("refused logins from 127.0.0.2 in the last 400 ms"), std::string::npos)
        << text;
    EXPECT_LT(std::count(text.begin(), text.end(), '\n'), 30) << text;
}

TEST_F(HubAttackTest, TricklingAndIdleLoginsHoldFewSlotsBriefly) {
    start(1s);
    // 300 connections from the stranger, each trickling an unfinished line.
    std::vector<testsim::LineConnection> slow;
    for (int i = 0; i < 300; ++i) {
        slow.push_back(testsim::connectTo(tcpPort_, kStranger));
    }
    for (int round = 0; round < 15; ++round) {
        for (auto& c : slow) {
            c.send(round == 0 ? std::string(60'000, ' ') + "{\"op\":\"login\"" : " ");
        }
        std::this_thread::sleep_for(100ms);
    }
    // A real event server logs in meanwhile; the trickling ones are gone.
    auto real = testsim::connectTo(tcpPort_);
    EXPECT_EQ(login(real, "s3cret-password")["op"], "login_ok");
    std::size_t open = 0;
    for (auto& c : slow) {
        open += !c.waitClosed(10ms);
    }
    EXPECT_EQ(open, 0u);
    EXPECT_FALSE(real.waitClosed(10ms));
}

}  // namespace
}  // namespace centerlink
