#pragma once
// The center's terminal side on its own thread over real sockets, with an
// event server's connection to watch what reaches the event servers.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>

#include "center/device_feed.h"
#include "center/sqlite_registry.h"
#include "center/terminal_server.h"
#include "centerlink/event_server_hub.h"
#include "tests/center/test_terminal.h"
#include "testsupport/io_thread/io_thread.h"
#include "testsupport/loopback/loopback.h"

namespace center {

using centertest::makeLocation;
using centertest::TestTerminal;
using nlohmann::json;
using namespace std::chrono_literals;

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vardo-center-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::ofstream(dir_ + "/allowed-terminals") << "# the fleet\n13912344329\n"
                                                   << "12345678901234567890\n";
    }

    // Starts the center's parts with these settings on their own thread.
    void start(std::chrono::milliseconds heartbeatTimeout = std::chrono::seconds(60),
               bool openRegistration = false,
               const std::function<void(TerminalConfig&)>& tune = {}) {
        ASSERT_EQ(registry_.open(dir_ + "/registry.sqlite"), "");
        centerlink::HubConfig hubConfig;
        hubConfig.tcpPort = 0;
        hubConfig.udpPort = 0;
        hubConfig.users = {{"root", "kiwa"}, {"second", "pw"}};
        hub_ = std::make_unique<centerlink::EventServerHub>(io_.context(), hubConfig);
        feed_ = std::make_unique<DeviceFeed>(*hub_, 4, [this](const std::string& line) {
            std::lock_guard lock(logMutex_);
            log_ += line + "\n";
        });
        TerminalConfig config;
        config.listen = "127.0.0.1";
        config.port = 0;
        config.heartbeatTimeout = heartbeatTimeout;
        config.openRegistration = openRegistration;
        config.allowListPath = dir_ + "/allowed-terminals";
        if (tune) {
            tune(config);
        }
        terminals_ = std::make_unique<TerminalServer>(io_.context(), config, registry_, *feed_,
                                                      [this](const std::string& line) {
                                                          std::lock_guard lock(logMutex_);
                                                          log_ += line + "\n";
                                                      });
        ASSERT_EQ(hub_->open(), "");
        ASSERT_EQ(terminals_->open(), "");
        io_.start();
    }

    void TearDown() override {
        if (io_.running()) {
            io_.call([this] {
                terminals_->close();
                hub_->close();
                return 0;
            });
            io_.stop();
        }
        terminals_.reset();
        feed_.reset();
        hub_.reset();
        registry_.close();
        std::filesystem::remove_all(dir_);
    }

    std::uint16_t terminalPort() {
        return io_.call([this] { return terminals_->port(); });
    }

    testsim::LineConnection eventServer(const std::string& user = "root",
                                        const std::string& password = "kiwa") {
        auto c = testsim::connectTo(io_.call([this] { return hub_->tcpPort(); }));
        c.send(
            json{{"op", "login"}, {"version", 1}, {"user", user}, {"password", password}}.dump() +
            "\n");
        EXPECT_EQ(next(c)["op"], "login_ok");
        EXPECT_EQ(next(c)["op"], "synced");
        return c;
    }

    static json next(testsim::LineConnection& c, std::chrono::milliseconds limit = 10s) {
        const auto line = c.readLine(limit);
        return line ? json::parse(*line) : json();
    }

    std::string log() {
        std::lock_guard lock(logMutex_);
        return log_;
    }

    // A terminal of the allow-list, registered and logged in.
    std::unique_ptr<TestTerminal> loggedIn(const std::string& phone = "013912344329",
                                           const std::string& plate = "粤B12345") {
        auto t = std::make_unique<TestTerminal>(
            terminalPort(), phone,
            phone.size() == 20 ? jt808::Version::V2019 : jt808::Version::V2013);
        const std::string code = t->registerAs(plate);
        EXPECT_FALSE(code.empty());
        EXPECT_EQ(t->authenticate(code), 0);
        return t;
    }

    std::string dir_;
    testsim::IoThread io_;
    SqliteRegistry registry_;
    std::unique_ptr<centerlink::EventServerHub> hub_;
    std::unique_ptr<DeviceFeed> feed_;
    std::unique_ptr<TerminalServer> terminals_;
    std::mutex logMutex_;
    std::string log_;
};

}  // namespace center
