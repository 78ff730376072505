#include "sim/terminal/fleet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "jt808/driver_identity.h"
#include "jt808/location.h"
#include "jt808/message_ids.h"
#include "sim/terminal/codes_file.h"
#include "sim/terminal/terminal_connection.h"
#include "tests/terminal_sim/mini_center.h"

namespace sim::terminal {
namespace {

using namespace std::chrono_literals;
using test::MiniCenter;
using test::runUntil;

FleetConfig quickConfig(std::uint16_t port) {
    FleetConfig c;
    c.port = port;
    c.locationInterval = 50ms;
    c.heartbeatInterval = 1s;
    c.reconnectDelay = 50ms;
    return c;
}

std::vector<jt808::Message> withId(const std::vector<jt808::Message>& all, std::uint16_t id) {
    std::vector<jt808::Message> out;
    for (const auto& m : all) {
        if (m.header.msgId == id) {
            out.push_back(m);
        }
    }
    return out;
}

class TempDir {
public:
    TempDir() {
        path_ = std::filesystem::temp_directory_path() /
                ("terminal-sim-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(path_);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const char* name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

TEST(TerminalFleet, RegistersOnceThenAuthenticatesWithTheKeptCode) {
    TempDir dir;
    asio::io_context io;
    MiniCenter center(io);
    std::vector<std::string> lines;
    {
        CodesFile codes(dir.file("codes"));
        FleetConfig config = quickConfig(center.port());
        config.terminals = 3;
        config.protocol = ProtocolChoice::Mixed;
        Fleet fleet(io, config, codes, [&](const std::string& l) { lines.push_back(l); });
        fleet.start();
        ASSERT_TRUE(runUntil(
            io, [&] { return center.authentications == 3; }, 10s));
        EXPECT_EQ(center.registrations, 3);
        EXPECT_EQ(fleet.phoneOf(0), "013912340000");
        EXPECT_EQ(fleet.phoneOf(1), "00000000013912340001");
        fleet.stop();
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), "terminal 013912340000: authenticated"),
              lines.end());

    // A restarted simulator reads the codes back and does not register again.
    CodesFile codes(dir.file("codes"));
    ASSERT_EQ(codes.load(), "");
    EXPECT_EQ(codes.find("013912340000"), "code-013912340000");
    FleetConfig config = quickConfig(center.port());
    config.terminals = 3;
    config.protocol = ProtocolChoice::Mixed;
    Fleet fleet(io, config, codes, [](const std::string&) {});
    fleet.start();
    ASSERT_TRUE(runUntil(
        io, [&] { return center.authentications == 6; }, 10s));
    EXPECT_EQ(center.registrations, 3);
    fleet.stop();
}

TEST(TerminalFleet, ReportsAlongASouthWestRouteWithPlateAndDriver) {
    asio::io_context io;
    MiniCenter center(io);
    CodesFile codes;
    FleetConfig config = quickConfig(center.port());
    config.protocol = ProtocolChoice::V2019;
    config.latitude = -33.87;
    config.longitude = -70.65;
    config.alarmRate = 3600.0 * 1000 / 50;  // an alarm at the first report
    Fleet fleet(io, config, codes, [](const std::string&) {});
    fleet.start();
    ASSERT_TRUE(runUntil(
        io, [&] { return withId(center.received, jt808::msg::kLocation).size() >= 3; }, 10s));
    fleet.stop();

    const auto locations = withId(center.received, jt808::msg::kLocation);
    for (const auto& m : locations) {
        EXPECT_EQ(m.header.version, jt808::Version::V2019);
        const auto loc = jt808::parseLocation(m.body);
        ASSERT_TRUE(loc) << loc.error;
        EXPECT_NEAR(jt808::latitudeDegrees(*loc), -33.87, 0.05);
        EXPECT_NEAR(jt808::longitudeDegrees(*loc), -70.65, 0.05);
        EXPECT_EQ(loc->speed, 400);
        EXPECT_TRUE(jt808::utcTime(*loc).has_value());
    }
    const auto first = jt808::parseLocation(locations.front().body);
    EXPECT_TRUE(first->alarm != 0 || first->videoAlarms.has_value());

    const auto drivers = withId(center.received, jt808::msg::kDriverIdentity);
    ASSERT_EQ(drivers.size(), 1u);
    const auto driver = jt808::parseDriverIdentity(drivers[0].body, jt808::Version::V2019);
    ASSERT_TRUE(driver) << driver.error;
    EXPECT_EQ(driver->name, "张伟");
    EXPECT_EQ(driver->authority, "深圳市交通运输局");
}

TEST(TerminalFleet, DeadZoneReportsFollowAsOneBlindAreaBatch) {
    asio::io_context io;
    MiniCenter center(io);
    CodesFile codes;
    FleetConfig config = quickConfig(center.port());
    config.locationInterval = 20ms;
    config.deadZoneEvery = 300ms;
    config.deadZoneDuration = 1500ms;  // ~75 reports: more than one frame holds
    std::vector<std::string> lines;
    Fleet fleet(io, config, codes, [&](const std::string& l) { lines.push_back(l); });
    fleet.start();
    ASSERT_TRUE(runUntil(
        io, [&] { return !withId(center.received, jt808::msg::kBatchLocation).empty(); }, 15s));
    fleet.stop();

    const auto batches = withId(center.received, jt808::msg::kBatchLocation);
    ASSERT_EQ(batches.size(), 1u);
    const auto batch = jt808::parseBatchLocation(batches[0].body);
    ASSERT_TRUE(batch) << batch.error;
    EXPECT_EQ(batch->type, static_cast<std::uint8_t>(jt808::BatchType::BlindArea));
    EXPECT_GT(batch->items.size(), 30u);
    EXPECT_GT(batches[0].body.size(), jt808::kMaxBodyBytes);  // it came in sub-packages
    EXPECT_TRUE(batch->skipped.empty());
    EXPECT_EQ(center.registrations, 1);
    EXPECT_EQ(center.authentications, 2);
}

TEST(TerminalFleet, ForgedCodeIsReportedAsRefused) {
    asio::io_context io;
    MiniCenter center(io);
    CodesFile codes;
    FleetConfig config = quickConfig(center.port());
    config.authCode = "forged";
    std::vector<std::string> lines;
    Fleet fleet(io, config, codes, [&](const std::string& l) { lines.push_back(l); });
    fleet.start();
    ASSERT_TRUE(runUntil(
        io, [&] { return center.refusedAuthentications >= 1; }, 10s));
    runUntil(
        io, [&] { return false; }, 100ms);
    fleet.stop();
    EXPECT_EQ(center.registrations, 0);
    EXPECT_TRUE(center.received.empty());
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "terminal 013912340000: authentication refused (result 1)"),
              lines.end());
}

TEST(TerminalFleet, ReconnectsWhenTheCenterDropsIt) {
    asio::io_context io;
    MiniCenter center(io);
    CodesFile codes;
    Fleet fleet(io, quickConfig(center.port()), codes, [](const std::string&) {});
    fleet.start();
    ASSERT_TRUE(runUntil(
        io, [&] { return center.authentications == 1; }, 10s));
    center.dropAll();
    ASSERT_TRUE(runUntil(
        io, [&] { return center.authentications == 2; }, 10s));
    EXPECT_EQ(center.registrations, 1);
    EXPECT_GE(fleet.counters().disconnects.load(), 1u);
    fleet.stop();
}

// How often each location report's body reached the center, in the order
// first seen.
std::vector<std::pair<std::vector<std::uint8_t>, int>> locationCopies(const MiniCenter& center) {
    std::vector<std::pair<std::vector<std::uint8_t>, int>> copies;
    for (const auto& m : withId(center.received, jt808::msg::kLocation)) {
        auto it = std::find_if(copies.begin(), copies.end(),
                               [&](const auto& c) { return c.first == m.body; });
        if (it == copies.end()) {
            copies.push_back({m.body, 1});
        } else {
            ++it->second;
        }
    }
    return copies;
}

TEST(TerminalFleet, AReportNotAnsweredWithSuccessIsSentAgainUntilItIs) {
    TempDir dir;
    asio::io_context io;
    MiniCenter center(io);
    // The first report is met with silence twice, then with a refusal.
    center.leaveLocationsUnanswered = 2;
    center.refuseLocations = 1;
    CodesFile codes(dir.file("codes"));
    FleetConfig config = quickConfig(center.port());
    config.locationInterval = 400ms;
    config.answerTimeout = 60ms;
    config.retransmissions = 5;
    Fleet fleet(io, config, codes, [](const std::string&) {});
    fleet.start();
    ASSERT_TRUE(runUntil(
        io, [&] { return fleet.counters().reportsAnswered >= 3; }, 20s));
    fleet.stop();

    const auto copies = locationCopies(center);
    ASSERT_GE(copies.size(), 3u);
    // Silence, silence, refusal, success: the same report four times.
    EXPECT_EQ(copies[0].second, 4);
    EXPECT_GE(fleet.counters().reportsResent, 3u);
    // Each report went until answered, and no answered one went again.
    for (std::size_t i = 1; i + 1 < copies.size(); ++i) {
        EXPECT_EQ(copies[i].second, 1) << "report " << i;
    }
}

TEST(TerminalFleet, ReportsUnansweredWhenTheConnectionGoesAreSentAfterTheNextLogin) {
    TempDir dir;
    asio::io_context io;
    MiniCenter center(io);
    center.leaveLocationsUnanswered = 1000;  // a center that dies before answering
    CodesFile codes(dir.file("codes"));
    FleetConfig config = quickConfig(center.port());
    config.locationInterval = 30ms;
    config.answerTimeout = 10s;  // no resend on the same connection
    Fleet fleet(io, config, codes, [](const std::string&) {});
    fleet.start();
    ASSERT_TRUE(runUntil(
        io, [&] { return withId(center.received, jt808::msg::kLocation).size() >= 3; }, 10s));
    const auto before = locationCopies(center);
    center.leaveLocationsUnanswered = 0;
    center.dropAll();
    ASSERT_TRUE(runUntil(
        io, [&] { return fleet.counters().reportsAnswered >= before.size() + 2; }, 10s));
    fleet.stop();

    const auto after = locationCopies(center);
    for (std::size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(after[i].first, before[i].first);
        EXPECT_EQ(after[i].second, 2) << "report " << i << " once on each connection";
    }
    EXPECT_EQ(center.authentications, 2);
}

TEST(BlockingTerminal, SendsChosenMessagesAndReadsTheAnswers) {
    asio::io_context io;
    MiniCenter center(io);
    const auto port = center.port();
    // The blocking connection runs on its own thread; the center on this one.
    std::optional<jt808::RegistrationResponse> registered;
    std::optional<jt808::GeneralResponse> forged;
    std::optional<jt808::GeneralResponse> good;
    std::atomic<bool> finished{false};
    std::thread client([&] {
        TerminalConnection t("13800000001", jt808::Version::V2013);
        if (t.connect("127.0.0.1", port).empty()) {
            forged = t.authenticate("not-the-code");
            registered = t.registerTerminal({44, 300, "VARDO", "VT", "0000001", 1, "粤B00001"});
            if (registered) {
                good = t.authenticate(registered->authCode);
            }
        }
        finished = true;
    });
    runUntil(
        io, [&] { return finished.load(); }, 15s);
    client.join();
    ASSERT_TRUE(forged.has_value());
    EXPECT_EQ(forged->result, 1);
    ASSERT_TRUE(registered.has_value());
    EXPECT_EQ(registered->authCode, "code-013800000001");
    ASSERT_TRUE(good.has_value());
    EXPECT_EQ(good->result, 0);
}

}  // namespace
}  // namespace sim::terminal
