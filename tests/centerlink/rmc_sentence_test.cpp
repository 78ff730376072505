#include "centerlink/rmc_sentence.h"

#include <gtest/gtest.h>

#include <chrono>

#include "testsupport/nmea/nmea_checksum.h"

namespace centerlink {
namespace {

using namespace std::chrono;

system_clock::time_point utc(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
    return sys_days(year(y) / month(mo) / day(d)) + hours(h) + minutes(mi) + seconds(s) +
           milliseconds(ms);
}

TEST(RmcSentence, SentencesMatchWhatReceiversWrite) {
    const struct {
        const char* talker;
        RmcFix fix;
        system_clock::time_point when;
        const char* expected;
    } cases[] = {
        // A sentence written by a receiver, checksum included.
        {"GP",
         {true, 25.0 + 3.1234 / 60, 121.0 + 40.5678 / 60, 10.0, 90.0},
         utc(2000, 1, 1, 10, 0, 0),
         "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D"},
        {"GN",
         {true, -(33.0 + 51.5 / 60), -(70.0 + 39.25 / 60), 0.0, 359.94},
         utc(2026, 12, 31, 23, 59, 59, 999),
         "$GNRMC,235959.999,A,3351.5000,S,07039.2500,W,0.0,359.9,311226,,,A*"},
        // Minutes that round up to 60 carry into the degrees.
        {"GP",
         {true, 9.9999999, 0.0, 1.0, 0.0},
         utc(2024, 2, 29, 0, 0, 0),
         "$GPRMC,000000.000,A,1000.0000,N,00000.0000,E,1.0,0.0,290224,,,A*"},
        {"GP",
         {false, 1, 2, 3, 4},
         utc(2024, 6, 1, 12, 30, 0, 50),
         "$GPRMC,123000.050,V,,,,,,,010624,,,N*"},
    };
    for (const auto& c : cases) {
        const std::string sentence = rmcSentence(c.talker, c.fix, c.when);
        EXPECT_TRUE(sentence.starts_with(c.expected)) << sentence;
        // Whatever the body, the checksum must be the XOR of its bytes.
        EXPECT_TRUE(testnmea::endsInItsChecksum(sentence));
    }
}

}  // namespace
}  // namespace centerlink
