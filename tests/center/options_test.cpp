#include "center/options.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

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
