#include "center/options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "center/media_port.h"
#include "center/terminal_config.h"
#include "center/terminal_media.h"

namespace center {
namespace {

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vardo-center-options-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ + "/" + name) << text;
        return dir_ + "/" + name;
    }
    std::string dir_;
};

TEST_F(OptionsTest, ConfigFileThenCommandLineAndSeveralUsers) {
    const std::string users = write("users", "# event servers\nops  s3cret pw\nsecond pw2\n");
    const std::string config = write("center.conf",
                                     "# site\njt808-port = 6808\nlisten 10.0.0.1\n"
                                     "open-registration\nheartbeat-timeout = 90\nusers = " +
                                         users + "\n");
    const auto parsed = parseOptions({"--config", config, "--jt808-port=0", "--channels", "2"});
    ASSERT_EQ(parsed.error, "");
    const Options& o = parsed.options;
    EXPECT_EQ(o.jt808Port, 0);  // the command line after --config wins
    EXPECT_EQ(o.listen, "10.0.0.1");
    EXPECT_TRUE(o.openRegistration);
    EXPECT_EQ(o.heartbeatTimeout, std::chrono::seconds(90));
    EXPECT_EQ(o.channels, 2);
    ASSERT_EQ(o.users.size(), 2u);
    EXPECT_EQ(o.users[0].user, "ops");
    EXPECT_EQ(o.users[0].password, "s3cret pw");  // a password may hold spaces
    EXPECT_EQ(o.users[1].user, "second");
}

TEST_F(OptionsTest, MistakesAreNamed) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--tcp-port", "65536"}, "--tcp-port: '65536' is not a port number"},
        {{"--media-port"}, "--media-port needs a value"},
        {{"--password", "x"}, "--user and --password go together"},
        {{"--user", "a", "--password", "b", "--users", "/nonexistent"}, "cannot read"},
        {{"--channels", "5"}, "--channels: '5' is not a number from 1 to 4"},
        {{"--open-registration=maybe"}, "is not true or false"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--config", "/nonexistent/center.conf"}, "cannot read '/nonexistent/center.conf'"},
    };
    for (const auto& c : cases) {
        const auto parsed = parseOptions(c.args);
        EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
    }
    const std::string bad = write("bad.conf", "jt808-port = 7611\nmax-terminals\n");
    EXPECT_EQ(parseOptions({"--config", bad}).error,
              "--config: " + bad + ":2: 'max-terminals' has no value");
    const std::string loop = write("loop.conf", "config = " + dir_ + "/loop.conf\n");
    EXPECT_NE(parseOptions({"--config", loop}).error.find("include each other"), std::string::npos);
}

TEST_F(OptionsTest, TheConfigurationFileTakesEveryOptionAndRefusesUnknownKeys) {
    const std::string users = write("users", "ops pw\n");
    const std::string config =
        write("center.conf",
              "listen = 0.0.0.0\njt808-port = 7611\ntcp-port = 24680\nudp-port = 24681\n"
              "media-port = 7612\nmedia-host = 203.0.113.7\nusers = " +
                  users +
                  "\ndata = /srv/center\nopen-registration = false\nchannels = 3\n"
                  "heartbeat-timeout = 120\nmax-terminals = 500\nmax-frame-bytes = 8192\n"
                  "max-pending-packages = 32\nauth-failures = 5\nstatus-interval = 60\n"
                  "metrics-port = 9465\n");
    auto parsed = parseOptions({"--config", config, "--status-interval", "0"});
    ASSERT_EQ(parsed.error, "");
    const Options& o = parsed.options;
    EXPECT_EQ(o.mediaHost, "203.0.113.7");
    EXPECT_EQ(o.dataDir, "/srv/center");
    EXPECT_EQ(o.channels, 3);
    EXPECT_EQ(o.heartbeatTimeout, std::chrono::seconds(120));
    EXPECT_EQ(o.maxTerminals, 500);
    EXPECT_EQ(o.maxFrameBytes, 8192);
    EXPECT_EQ(o.maxPendingPackages, 32);
    EXPECT_EQ(o.authFailureLimit, 5);
    EXPECT_EQ(o.statusInterval, 0);  // the command line after --config wins
    EXPECT_EQ(o.metricsPort, 9465);
    ASSERT_EQ(o.users.size(), 1u);
    EXPECT_FALSE(o.defaultUsers);
    EXPECT_EQ(credentialsProblem(o), "");

    const std::string typo = write("typo.conf", "listen = 0.0.0.0\n\nmedia-hots = 10.0.0.1\n");
    parsed = parseOptions({"--config", typo});
    EXPECT_EQ(parsed.error, "--config: " + typo + ":3: unknown option 'media-hots'");
    EXPECT_TRUE(parsed.configError);
    // Mistakes typed on the command line are not the configuration's.
    parsed = parseOptions({"--channels", "9"});
    EXPECT_FALSE(parsed.error.empty());
    EXPECT_FALSE(parsed.configError);
}

TEST_F(OptionsTest, TheLimitsAgainstStrangersAreOptionsWithTheirFormerDefaults) {
    // Unset, each option keeps the limit its part has on its own.
    const Options d = parseOptions({}).options;
    const MediaPortConfig port;
    EXPECT_EQ(d.mediaProofTimeout, port.idleLimit);
    EXPECT_EQ(static_cast<std::size_t>(d.maxMediaConnections), port.maxConnections);
    EXPECT_EQ(static_cast<std::size_t>(d.maxUnprovenMedia), port.maxUnproven);
    EXPECT_EQ(static_cast<std::size_t>(d.maxUnprovenMediaPerAddress), port.maxUnprovenPerAddress);
    EXPECT_EQ(d.mediaStopGrace, TerminalMediaConfig{}.stopGrace);
    const centerlink::HubConfig hub;
    EXPECT_EQ(d.eventServerLoginTimeout, hub.loginLimit);
    EXPECT_EQ(static_cast<std::size_t>(d.maxEventServerLogins), hub.maxUnauthenticated);
    EXPECT_EQ(static_cast<std::size_t>(d.maxEventServerLoginsPerAddress),
              hub.maxUnauthenticatedPerAddress);
    EXPECT_EQ(d.freeLoginFailures, hub.backOff.freeFailures);
    EXPECT_EQ(d.longestLoginWait, hub.backOff.longestWait);
    EXPECT_EQ(d.freeLoginFailures, TerminalConfig{}.backOff.freeFailures);
    EXPECT_EQ(d.longestLoginWait, TerminalConfig{}.backOff.longestWait);

    const std::string config = write("limits.conf",
                                     "media-proof-timeout = 20\nmax-media-connections = 900\n"
                                     "max-unproven-media = 90\nmax-unproven-media-per-address = 9\n"
                                     "media-stop-grace = 0\nevent-server-login-timeout = 5\n"
                                     "max-event-server-logins = 40\n"
                                     "max-event-server-logins-per-address = 4\n"
                                     "free-login-failures = 0\nlongest-login-wait = 600\n"
                                     "linger-us = 500\nsync-interval-us = 0\n");
    const auto parsed = parseOptions({"--config", config, "--max-unproven-media-per-address", "3"});
    ASSERT_EQ(parsed.error, "");
    const Options& o = parsed.options;
    EXPECT_EQ(o.mediaProofTimeout, std::chrono::seconds(20));
    EXPECT_EQ(o.maxMediaConnections, 900);
    EXPECT_EQ(o.maxUnprovenMedia, 90);
    EXPECT_EQ(o.maxUnprovenMediaPerAddress, 3);
    EXPECT_EQ(o.mediaStopGrace, std::chrono::seconds(0));
    EXPECT_EQ(o.eventServerLoginTimeout, std::chrono::seconds(5));
    EXPECT_EQ(o.maxEventServerLogins, 40);
    EXPECT_EQ(o.maxEventServerLoginsPerAddress, 4);
    EXPECT_EQ(o.freeLoginFailures, 0);
    EXPECT_EQ(o.longestLoginWait, std::chrono::seconds(600));
    EXPECT_EQ(o.linger, std::chrono::microseconds(500));
    EXPECT_EQ(o.syncInterval, std::chrono::microseconds(0));
    EXPECT_EQ(d.syncInterval, std::chrono::microseconds(25000));

    const struct {
        std::vector<std::string> args;
        const char* error;
    } mistakes[] = {
        {{"--media-proof-timeout", "0"},
         "--media-proof-timeout: '0' is not a number of seconds from 1 to 3600"},
        {{"--media-proof-timeout", "10s"}, "'10s' is not a number of seconds"},
        {{"--linger-us", "100001"}, "'100001' is not a number of microseconds from 0 to 100000"},
        {{"--linger-us", "-1"}, "'-1' is not a number of microseconds"},
        {{"--sync-interval-us", "1000001"},
         "'1000001' is not a number of microseconds from 0 to 1000000"},
        {{"--media-stop-grace", "-1"}, "'-1' is not a number of seconds from 0 to 600"},
        {{"--max-media-connections", "0"}, "--max-media-connections: '0' is not a number from 1"},
        {{"--max-event-server-logins", "many"}, "'many' is not a number from 1 to 100000"},
        {{"--event-server-login-timeout", "99999"}, "is not a number of seconds from 1 to 3600"},
        {{"--free-login-failures", "-1"}, "'-1' is not a number from 0 to 1000"},
        {{"--longest-login-wait", "0"}, "'0' is not a number of seconds from 1 to 3600"},
        // A share above its whole would be a cap that never holds.
        {{"--max-unproven-media-per-address", "300"},
         "--max-unproven-media-per-address (300) is more than --max-unproven-media (256)"},
        {{"--max-media-connections", "100"},
         "--max-unproven-media (256) is more than --max-media-connections (100)"},
        {{"--max-event-server-logins", "8"},
         "--max-event-server-logins-per-address (16) is more than --max-event-server-logins (8)"},
    };
    for (const auto& m : mistakes) {
        const auto refused = parseOptions(m.args);
        EXPECT_NE(refused.error.find(m.error), std::string::npos)
            << m.args[0] << ": " << refused.error;
    }
}

TEST(Options, TheDefaultLoginIsForLoopbackOnly) {
    for (const char* address : {"127.0.0.1", "127.0.0.2", "127.255.0.9", "::1", "localhost"}) {
        EXPECT_TRUE(isLoopbackAddress(address)) << address;
        const auto parsed = parseOptions({"--listen", address});
        ASSERT_EQ(parsed.error, "");
        EXPECT_EQ(credentialsProblem(parsed.options), "") << address;
    }
    for (const char* address : {"0.0.0.0", "::", "10.0.0.1", "128.0.0.1", "::ffff:10.0.0.1"}) {
        EXPECT_FALSE(isLoopbackAddress(address)) << address;
        const auto parsed = parseOptions({"--listen", address});
        ASSERT_EQ(parsed.error, "");
        EXPECT_TRUE(parsed.options.defaultUsers);
        EXPECT_NE(credentialsProblem(parsed.options).find("give --user NAME --password PW"),
                  std::string::npos)
            << address;
        EXPECT_EQ(
            credentialsProblem(
                parseOptions({"--listen", address, "--user", "a", "--password", "b"}).options),
            "")
            << address;
    }
}

TEST(Options, HelpNamesEveryOption) {
    const std::string help = usageText();
    EXPECT_TRUE(help.starts_with("usage: vardo-center [options]\n")) << help;
    for (const char* option : {"--listen ADDR",
                               "--jt808-port N",
                               "--media-host ADDR",
                               "--user NAME",
                               "--password PW",
                               "--users FILE",
                               "--data DIR",
                               "--open-registration",
                               "--status-interval S",
                               "--metrics-port N",
                               "--config FILE",
                               "--list",
                               "--version",
                               "--help, -h",
                               "--media-proof-timeout S",
                               "--max-media-connections N",
                               "--max-unproven-media N",
                               "--max-unproven-media-per-address N",
                               "--media-stop-grace S",
                               "--event-server-login-timeout S",
                               "--max-event-server-logins N",
                               "--max-event-server-logins-per-address N",
                               "--free-login-failures N",
                               "--longest-login-wait S"}) {
        EXPECT_NE(help.find("\n  " + std::string(option) + " "), std::string::npos)
            << option << " in\n"
            << help;
    }
}

TEST(Options, DefaultsFitASite) {
    const auto parsed = parseOptions({});
    ASSERT_EQ(parsed.error, "");
    EXPECT_EQ(parsed.options.jt808Port, 7611);
    EXPECT_EQ(parsed.options.tcpPort, 24680);
    EXPECT_FALSE(parsed.options.openRegistration);
    ASSERT_EQ(parsed.options.users.size(), 1u);
    EXPECT_EQ(parsed.options.users[0].user, "root");
}

}  // namespace
}  // namespace center
