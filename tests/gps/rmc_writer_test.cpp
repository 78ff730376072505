#include "gps/rmc_writer.h"

#include <gtest/gtest.h>

#include <chrono>

#include "gps/nmea_checksum.h"
#include "testsupport/nmea/nmea_checksum.h"

namespace gps {
namespace {

using namespace std::chrono;

system_clock::time_point utc(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
    return sys_days(year(y) / month(mo) / day(d)) + hours(h) + minutes(mi) + seconds(s) +
           milliseconds(ms);
}

// Sentences as receivers wrote them, checksums theirs: the one checksum the
// parser, the writer and the tests use must give the same digits.
TEST(NmeaChecksum, GivesTheDigitsReceiversWrite) {
    const struct {
        std::string_view body;
        const char* digits;
    } cases[] = {
        {"GPRMC,225446,A,4916.45,N,12311.12,W,000.5,054.7,191194,020.3,E", "68"},
        {"GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,", "47"},
        {"GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,130998,011.3,E", "62"},
        {"", "00"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nmeaChecksum(c.body), c.digits) << c.body;
    }
}

// Eight bytes at a time and the rest one by one: every length, from every
// place of a buffer, gives the XOR of its bytes.
TEST(NmeaChecksum, IsTheXorOfEveryByteAtEveryLength) {
    std::string bytes;
    for (int i = 0; i < 100; ++i) {
        bytes += static_cast<char>(i * 37 + 11);
    }
    for (std::size_t from = 0; from < 9; ++from) {
        for (std::size_t length = 0; from + length <= bytes.size(); ++length) {
            unsigned expected = 0;
            for (std::size_t i = from; i < from + length; ++i) {
                expected ^= static_cast<unsigned char>(bytes[i]);
            }
            ASSERT_EQ(nmeaChecksumByte(std::string_view(bytes).substr(from, length)), expected)
                << from << " " << length;
        }
    }
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
}  // namespace gps
