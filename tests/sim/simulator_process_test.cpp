// The simulator as a program: its command line, its script and its random
// devices, over real sockets.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>

#include "testsupport/loopback/loopback.h"
#include "testsupport/nmea/nmea_checksum.h"
#include "testsupport/process/sim_process.h"

namespace {

using nlohmann::json;
using testsim::LineConnection;
using testsim::SimProcess;

std::string run(const std::string& args, int& status) {
    const std::string command = testsim::simulatorPath() + " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[512];
    while (pipe && fgets(buffer, sizeof buffer, pipe)) {
        out += buffer;
    }
    status = pipe ? WEXITSTATUS(pclose(pipe)) : -1;
    return out;
}

LineConnection login(std::uint16_t port) {
    LineConnection c = testsim::connectTo(port);
    c.send(R"({"op":"login","version":1,"user":"root","password":"kiwa"})"
           "\n");
    return c;
}

TEST(SimProgram, CommandLineErrorsExitWithStatusTwo) {
    int status = 0;
    EXPECT_NE(run("--version", status).find("vardo-center-sim"), std::string::npos);
    EXPECT_EQ(status, 0);
    EXPECT_NE(run("--devices lots", status).find("--devices: 'lots' is not a device count"),
              std::string::npos);
    EXPECT_EQ(status, 2);
}

TEST(SimProgram, AScriptFileIsCheckedBeforeAnythingRuns) {
    char path[] = "/tmp/vardo-sim-script-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << "online X7 X7 2\nalarm X7 9\n# fine\nfly away\n";
    int status = 0;
    const std::string out = run(std::string("--tcp-port 0 --udp-port 0 --script ") + path, status);
    std::remove(path);
    EXPECT_EQ(status, 2);
    EXPECT_NE(out.find(":2: alarm: N '9' is not a number from 0 to 7"), std::string::npos) << out;
    EXPECT_NE(out.find(":4: unknown command 'fly'"), std::string::npos) << out;
}

TEST(SimProgram, ExitEndsTheProgramAfterClientsHaveTheirData) {
    SimProcess sim;
    LineConnection client = login(sim.tcpPort());
    sim.send("wait-login\nonline X7 X7 1\ngps X7 last words\nexit");
    std::vector<std::string> ops;
    while (auto line = client.readLine()) {
        ops.push_back(json::parse(*line)["op"]);
    }
    EXPECT_EQ(ops, (std::vector<std::string>{"login_ok", "synced", "online", "gps"}));
    EXPECT_EQ(sim.stop(), 0);
}

TEST(SimProgram, WrongScriptLinesOnStandardInputAreSkipped) {
    SimProcess sim;
    LineConnection client = login(sim.tcpPort());
    sim.send("wait-login\nonline X7 X7 7\nonline X7 X7 3\n");
    EXPECT_TRUE(sim.waitForLog("online: CHANNELS '7' is not a number from 1 to 4 (skipped)"));
    EXPECT_EQ(json::parse(*client.readLine())["op"], "login_ok");
    EXPECT_EQ(json::parse(*client.readLine())["op"], "synced");
    EXPECT_EQ(json::parse(*client.readLine())["channels"], 3);
}

TEST(SimProgram, RandomDevicesSendPlausibleRmcSentences) {
    SimProcess sim({"--devices", "30", "--gps-interval", "0.05", "--seed", "3", "--churn", "0"});
    LineConnection client = login(sim.tcpPort());
    std::set<std::string> online;
    std::set<std::string> talkers;
    int updates = 0;
    while (updates < 300) {
        const auto line = client.readLine();
        ASSERT_TRUE(line.has_value());
        const json m = json::parse(*line);
        if (m["op"] == "online") {
            online.insert(m["dev"].get<std::string>());
            EXPECT_GE(m["channels"].get<int>(), 1);
            EXPECT_LE(m["channels"].get<int>(), 4);
        }
        if (m["op"] != "gps" && m["op"] != "online") {
            continue;
        }
        const std::string gps = m["gps"];
        ASSERT_GE(gps.size(), 10u) << gps;
        talkers.insert(gps.substr(0, 6));
        EXPECT_TRUE(testnmea::endsInItsChecksum(gps));
        if (m["op"] == "gps") {
            EXPECT_TRUE(online.contains(m["dev"].get<std::string>())) << *line;
            ++updates;
        }
    }
    EXPECT_EQ(online.size(), 30u);
    EXPECT_EQ(talkers, (std::set<std::string>{"$GNRMC", "$GPRMC"}));
}

}  // namespace
