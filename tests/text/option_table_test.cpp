#include "text/option_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace text {
namespace {

struct Settings {
    std::string host = "localhost";
    int port = 80;
    double rate = 1;
    bool verbose = false;
    bool color = true;
    std::optional<std::string> script;
    enum class Mode { Fast, Safe } mode = Mode::Safe;
};

OptionTable TableFor(Settings& s) {
    OptionTable table(
        "usage: tool [options]", "Does one thing.",
        {
            {"--host", "ADDR", "where to go (localhost)", SetText(s.host, "needs an address")},
            {"--port", "N", "its port (80)", SetPort(s.port, 1)},
            {"--rate", "N", "per second,\nfrom 0.5 to 10 (1)", SetNumber(s.rate, 0.5, 10.0)},
            {"--verbose", "", "say more", SetSwitch(s.verbose), "-v"},
            {"--no-color", "", "plain text", SetSwitch(s.color, false)},
            {"--script", "FILE", "commands", SetText(s.script)},
            {"--a-very-long-option-name", "VALUE", "still readable",
             SetChoice(s.mode, {{"fast", Settings::Mode::Fast}, {"safe", Settings::Mode::Safe}},
                       "fast or safe")},
        },
        "Ends with this line.\n");
    return table;
}

class OptionFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vardo-option-table-XXXXXX";
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

TEST(OptionTable, CommandLineWordsFillTheTargets) {
    Settings s;
    OptionTable table = TableFor(s);
    EXPECT_EQ(table.parseArgs({"--host", "10.0.0.1", "--port=8080", "--rate", "2.5", "-v",
                               "--no-color", "--script=", "--a-very-long-option-name", "fast"}),
              "");
    EXPECT_EQ(s.host, "10.0.0.1");
    EXPECT_EQ(s.port, 8080);
    EXPECT_DOUBLE_EQ(s.rate, 2.5);
    EXPECT_TRUE(s.verbose);
    EXPECT_FALSE(s.color);
    EXPECT_EQ(s.script, "");  // "--name=" is an empty value, not a missing one
    EXPECT_EQ(s.mode, Settings::Mode::Fast);
    // A switch may be turned off again by a later word.
    EXPECT_EQ(table.parseArgs({"--verbose=no", "--no-color=false"}), "");
    EXPECT_FALSE(s.verbose);
    EXPECT_TRUE(s.color);
    // A value may start with a dash: it is the next word whatever it is.
    EXPECT_EQ(table.parseArgs({"--host", "-x"}), "");
    EXPECT_EQ(s.host, "-x");
}

TEST(OptionTable, MistakesNameTheOptionAndWhatWasExpected) {
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--port", "0"}, "--port: '0' is not a port number (1-65535)"},
        {{"--port", "65536"}, "--port: '65536' is not a port number (1-65535)"},
        {{"--port", "80x"}, "--port: '80x' is not a port number (1-65535)"},
        {{"--rate", "nan"}, "--rate: 'nan' is not a number from 0.5 to 10"},
        {{"--rate", "0.4"}, "--rate: '0.4' is not a number from 0.5 to 10"},
        {{"--host", ""}, "--host: needs an address"},
        {{"--verbose=maybe"}, "--verbose: 'maybe' is not true or false"},
        {{"--a-very-long-option-name", "slow"},
         "--a-very-long-option-name: 'slow' is not fast or safe"},
        {{"--port"}, "--port needs a value"},
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"stray"}, "unknown option 'stray'"},
    };
    for (const auto& c : cases) {
        Settings s;
        OptionTable table = TableFor(s);
        EXPECT_EQ(table.parseArgs(c.args), c.error) << c.args[0];
        EXPECT_EQ(s.port, 80) << "a refused value leaves the target as it was";
    }
}

TEST(OptionTable, LargeBoundsAreWrittenInFull) {
    int count = 0;
    OptionTable table("usage: tool", "", {{"--count", "N", "", SetNumber(count, 1, 1'000'000)}});
    EXPECT_EQ(table.parseArgs({"--count", "0"}), "--count: '0' is not a number from 1 to 1000000");
    EXPECT_EQ(NumberText(0.25), "0.25");
    EXPECT_EQ(NumberText(-100000), "-100000");
}

TEST_F(OptionFileTest, FileLinesUseTheSameTableAndSayWhereTheyFail) {
    Settings s;
    OptionTable table = TableFor(s);
    const std::string good = write("good.conf",
                                   "# a site\n\nhost = 10.1.2.3   # the gateway\nport 7000\n"
                                   "verbose\nno-color = no\n  rate=3  \n");
    EXPECT_EQ(table.parseFile(good), "");
    EXPECT_EQ(s.host, "10.1.2.3");
    EXPECT_EQ(s.port, 7000);
    EXPECT_TRUE(s.verbose);
    EXPECT_TRUE(s.color);
    EXPECT_DOUBLE_EQ(s.rate, 3);

    const std::string unknown = write("unknown.conf", "port = 7000\nprot = 7001\n");
    EXPECT_EQ(table.parseFile(unknown), unknown + ":2: unknown option 'prot'");
    const std::string dashed = write("dashed.conf", "--port = 7000\n");
    EXPECT_EQ(table.parseFile(dashed), dashed + ":1: unknown option '--port'");
    const std::string bad = write("bad.conf", "\nport = seventy\n");
    EXPECT_EQ(table.parseFile(bad), bad + ":2: --port: 'seventy' is not a port number (1-65535)");
    const std::string bare = write("bare.conf", "host\n");
    EXPECT_EQ(table.parseFile(bare), bare + ":1: 'host' has no value");
    EXPECT_EQ(table.parseFile(dir_ + "/missing.conf"), "cannot read '" + dir_ + "/missing.conf'");
}

TEST(OptionTable, HelpListsEveryOptionInAlignedColumns) {
    Settings s;
    const std::string help = TableFor(s).helpText();
    EXPECT_EQ(help,
              "usage: tool [options]\n"
              "Does one thing.\n"
              "  --host ADDR              where to go (localhost)\n"
              "  --port N                 its port (80)\n"
              "  --rate N                 per second,\n"
              "                           from 0.5 to 10 (1)\n"
              "  --verbose, -v            say more\n"
              "  --no-color               plain text\n"
              "  --script FILE            commands\n"
              "  --a-very-long-option-name VALUE  still readable\n"
              "Ends with this line.\n");
}

}  // namespace
}  // namespace text
