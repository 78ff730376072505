#include "center/location_sentence.h"

#include <gtest/gtest.h>

#include <cmath>

#include "gps/rmc_parser.h"
#include "tests/center/test_terminal.h"
#include "testsupport/nmea/nmea_checksum.h"

namespace center {
namespace {

using centertest::makeLocation;

std::chrono::system_clock::time_point reportTime(const jt808::Location& l) {
    const auto utc = jt808::utcTime(l);
    EXPECT_TRUE(utc.has_value()) << l.time;
    return utc.value_or(std::chrono::sys_seconds{});
}

TEST(LocationSentence, HemispheresTimeAndSpeedAsTheEventServerReadsThem) {
    const struct {
        jt808::Location report;
        const char* expected;  // up to the checksum
    } cases[] = {
        // Beijing time 08:30 is 00:30 UTC the same day.
        {makeLocation(22.543210, 114.057890, 60.0, 90, "261208083000"),
         "$GPRMC,003000.000,A,2232.5926,N,11403.4734,E,32.4,90.0,081226,,,A*"},
        // Before 08:00 Beijing time the UTC date is the day before, across
        // a month and a year.
        {makeLocation(-33.868820, 151.209290, 0.0, 0, "270101031505"),
         "$GPRMC,191505.000,A,3352.1292,S,15112.5574,E,0.0,0.0,311226,,,A*"},
        {makeLocation(40.712776, -74.005974, 185.2, 359, "240301071234"),
         "$GPRMC,231234.000,A,4042.7666,N,07400.3584,W,100.0,359.0,290224,,,A*"},
        {makeLocation(-0.000001, -0.000001, 1.852, 180, "261208120000"),
         "$GPRMC,040000.000,A,0000.0001,S,00000.0001,W,1.0,180.0,081226,,,A*"},
    };
    for (const auto& c : cases) {
        const std::string sentence = rmcFromLocation(c.report, reportTime(c.report));
        EXPECT_TRUE(sentence.starts_with(c.expected)) << sentence;
        ASSERT_TRUE(testnmea::endsInItsChecksum(sentence));

        // The event server's parser reads the terminal's own values back:
        // the position to the 1e-6 degree the terminal sent (minutes with
        // four decimals resolve 1.7e-6 degree), the speed to 0.1 km/h.
        double lat = 0, lon = 0, kmh = 0, course = 0;
        ASSERT_TRUE(ParseGPRMC(sentence.c_str(), &lat, &lon, &kmh, &course)) << sentence;
        EXPECT_NEAR(lat, jt808::latitudeDegrees(c.report), 1e-6) << sentence;
        EXPECT_NEAR(lon, jt808::longitudeDegrees(c.report), 1e-6) << sentence;
        EXPECT_NEAR(kmh, c.report.speed / 10.0, 0.1) << sentence;
        EXPECT_DOUBLE_EQ(course, c.report.direction) << sentence;
    }
}

TEST(LocationSentence, UnlocatedOrImpossibleReportsAreVoid) {
    auto unlocated = makeLocation(22.5, 114.0, 10, 0, "261208083000");
    unlocated.status &= ~jt808::status::kLocated;
    auto offTheGlobe = makeLocation(22.5, 114.0, 10, 0, "261208083000");
    offTheGlobe.latitude = 91'000'000;
    for (const auto& report : {unlocated, offTheGlobe}) {
        const std::string sentence = rmcFromLocation(report, reportTime(report));
        EXPECT_TRUE(sentence.starts_with("$GPRMC,003000.000,V,,,,,,,081226,,,N*")) << sentence;
        double lat = 1;
        EXPECT_FALSE(ParseGPRMC(sentence.c_str(), &lat, nullptr, nullptr, nullptr));
    }
}

}  // namespace
}  // namespace center
