#include "sim/options.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

TEST(SimOptions, DefaultsServeLoopbackWithTwentyDevices) {
    const auto parsed = parseOptions({});
    ASSERT_EQ(parsed.error, "");
    const Options& o = parsed.options;
    EXPECT_EQ(o.listen, "127.0.0.1");
    EXPECT_EQ(o.tcpPort, 24680);
    EXPECT_EQ(o.udpPort, 24681);
    EXPECT_EQ(o.user, "root");
    EXPECT_EQ(o.password, "kiwa");
    EXPECT_EQ(o.devices, 20);
    EXPECT_DOUBLE_EQ(o.gpsIntervalSeconds, 1.0);
    EXPECT_FALSE(o.script.has_value());
}

TEST(SimOptions, ValuesAreTaken) {
    const auto parsed =
        parseOptions({"--listen", "0.0.0.0", "--tcp-port=0", "--udp-port", "9", "--user", "ops",
                      "--password", "p w", "--devices", "300", "--gps-interval", "0.25",
                      "--alarm-rate", "2", "--churn", "0", "--seed", "42"});
    ASSERT_EQ(parsed.error, "");
    const Options& o = parsed.options;
    EXPECT_EQ(o.listen, "0.0.0.0");
    EXPECT_EQ(o.tcpPort, 0);
    EXPECT_EQ(o.udpPort, 9);
    EXPECT_EQ(o.user, "ops");
    EXPECT_EQ(o.password, "p w");
    EXPECT_EQ(o.devices, 300);
    EXPECT_DOUBLE_EQ(o.gpsIntervalSeconds, 0.25);
    EXPECT_DOUBLE_EQ(o.alarmRate, 2);
    EXPECT_DOUBLE_EQ(o.churn, 0);
    EXPECT_EQ(o.seed, 42u);
}

TEST(SimOptions, AScriptMeansNoRandomDevicesUnlessAsked) {
    EXPECT_EQ(parseOptions({"--script", "-"}).options.devices, 0);
    EXPECT_EQ(parseOptions({"--script", "x.txt", "--devices", "5"}).options.devices, 5);
    EXPECT_EQ(parseOptions({"--devices", "5", "--script", "x.txt"}).options.devices, 5);
}

TEST(SimOptions, BadCommandLinesAreNamed) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--tcp-port", "70000"}, "--tcp-port: '70000' is not a port number"},
        {{"--udp-port", "-1"}, "--udp-port: '-1' is not a port number"},
        {{"--tcp-port", "12a"}, "--tcp-port: '12a' is not a port number"},
        {{"--devices", "many"}, "--devices: 'many' is not a device count"},
        {{"--gps-interval", "0"}, "--gps-interval: '0' is not a number"},
        {{"--gps-interval", "nan"}, "--gps-interval: 'nan' is not a number"},
        {{"--alarm-rate", "-3"}, "--alarm-rate: '-3' is not a number"},
        {{"--seed", "-1"}, "--seed: '-1' is not a seed"},
        {{"--script", ""}, "--script: needs a file name"},
        {{"--devices"}, "--devices needs a value"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"stray"}, "unknown option 'stray'"},
    };
    for (const auto& c : cases) {
        const auto parsed = parseOptions(c.args);
        EXPECT_NE(parsed.error.find(c.error), std::string::npos)
            << "args[0]=" << c.args[0] << " gave '" << parsed.error << "'";
    }
}

}  // namespace
}  // namespace sim
