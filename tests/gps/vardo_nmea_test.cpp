// Runs the real vardo-nmea program over files and checks what it prints.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace {

class VardoNmea : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vardo-nmea-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    void write(const std::string& name, const std::string& content) const {
        std::ofstream(path(name), std::ios::binary) << content;
    }

    std::string read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Runs vardo-nmea with `arguments` (already quoted), standard input from
    // `input`; returns the exit status and leaves its output in out/err.
    int run(const std::string& arguments, const std::string& input = "") {
        write("in", input);
        const std::string command = std::string("'") + VARDO_NMEA_EXE + "' " + arguments + " <'" +
                                    path("in") + "' >'" + path("out") + "' 2>'" + path("err") + "'";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_;
};

const std::string kWorkedExample =
    "$GPRMC,062745.00,A,3412.5000,S,01830.7500,W,10.50,254.80,150926,,,A*6C";
const std::string kX7 = "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D";

const std::string kWorkedLine = "ok\t-34.208333\t-18.512500\t19.446000\t254.800000\n";
const std::string kX7Line = "ok\t25.052057\t121.676130\t18.520000\t90.000000\n";
const std::string kFailLine = "fail\t0.000000\t0.000000\t0.000000\t0.000000\n";

TEST_F(VardoNmea, PrintsOneLinePerSentenceOfAFile) {
    // CR LF line ends, a status V sentence, a GGA line, and no final line end.
    write("track.nmea",
          kWorkedExample + "\r\n" +
              "$GPRMC,062745.00,V,3412.5000,S,01830.7500,W,10.50,254.80,150926,,,A*7B\r\n" +
              "$GPGGA,062745.00,3412.5000,S,01830.7500,W,1,08,0.9,545.4,M,46.9,M,,*47\n" + kX7);
    EXPECT_EQ(run("'" + path("track.nmea") + "'"), 0);
    EXPECT_EQ(read("out"), kWorkedLine + kFailLine + kFailLine + kX7Line);
    EXPECT_EQ(read("err"), "");
}

TEST_F(VardoNmea, ReadsStandardInputWithoutFiles) {
    EXPECT_EQ(run("", kX7 + "\n\n"), 0);
    EXPECT_EQ(read("out"), kX7Line + kFailLine);
}

TEST_F(VardoNmea, ReadsWhatCommonReceiversSend) {
    // Two decimals of minutes (NMEA 2.x), and a receiver's own sentence
    // before the RMC sentence on the same line.
    EXPECT_EQ(run("",
                  "$GPRMC,225446,A,4916.45,N,12311.12,W,000.5,054.7,191194,020.3,E*68\n"
                  "$PGRMC,1,2,3*57 " +
                      kX7 + "\n"),
              0);
    EXPECT_EQ(read("out"), "ok\t49.274167\t-123.185333\t0.926000\t54.700000\n" + kX7Line);
}

TEST_F(VardoNmea, MissingFileIsReportedAndTheOthersAreRead) {
    write("a.nmea", kWorkedExample + "\n");
    write("b.nmea", kX7 + "\n");
    EXPECT_EQ(
        run("'" + path("a.nmea") + "' '" + path("missing.nmea") + "' '" + path("b.nmea") + "'"), 1);
    EXPECT_EQ(read("out"), kWorkedLine + kX7Line);
    const std::string err = read("err");
    EXPECT_NE(err.find("missing.nmea"), std::string::npos) << err;
    EXPECT_NE(err.find("No such file"), std::string::npos) << err;
}

TEST_F(VardoNmea, DirectoryInsteadOfFileIsReported) {
    EXPECT_EQ(run("'" + dir_ + "'"), 1);
    EXPECT_EQ(read("out"), "");
    EXPECT_NE(read("err").find(dir_), std::string::npos);
}

TEST_F(VardoNmea, UnknownOptionReadsNothing) {
    write("a.nmea", kWorkedExample + "\n");
    EXPECT_EQ(run("--bogus '" + path("a.nmea") + "'"), 2);
    EXPECT_EQ(read("out"), "");
    EXPECT_NE(read("err").find("--bogus"), std::string::npos);
}

}  // namespace
