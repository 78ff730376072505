// The RMC writer against the one it replaced (std::to_chars and gmtime_r for
// every number and time), kept here as the reference: event servers and
// databases store these sentences, so every byte must stay as it was.

#include <gtest/gtest.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <limits>
#include <random>
#include <string>

#include "gps/fixed_decimal.h"
#include "gps/nmea_checksum.h"
#include "gps/rmc_writer.h"

namespace gps {
namespace {

using namespace std::chrono;

void referenceFixed(std::string& out, double value, int decimals, int minIntDigits = 0) {
    char buffer[kFixedDecimalMax];
    const auto r =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    const std::string_view text(buffer, static_cast<std::size_t>(r.ptr - buffer));
    const std::size_t dot = text.find('.');
    const std::size_t intDigits = dot == std::string_view::npos ? text.size() : dot;
    for (std::size_t i = intDigits; i < static_cast<std::size_t>(minIntDigits); ++i) {
        out += '0';
    }
    out.append(text);
}

void referenceTwo(std::string& out, int value) {
    out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

void referenceAngle(std::string& out, double degrees, int degreeDigits) {
    double whole = std::floor(degrees);
    double minutes = (degrees - whole) * 60.0;
    if (std::round(minutes * 10000.0) >= 600000.0) {
        minutes = 0;
        whole += 1;
    }
    std::string deg = std::to_string(static_cast<int>(whole));
    for (std::size_t i = deg.size(); i < static_cast<std::size_t>(degreeDigits); ++i) {
        out += '0';
    }
    out += deg;
    referenceFixed(out, minutes, 4, 2);
}

std::string referenceSentence(std::string_view talker, const RmcFix& fix,
                              system_clock::time_point when) {
    const auto ms = duration_cast<milliseconds>(when.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::string body = "$";
    body += talker;
    body += "RMC,";
    referenceTwo(body, utc.tm_hour);
    referenceTwo(body, utc.tm_min);
    referenceTwo(body, utc.tm_sec);
    body += '.';
    const int millis = static_cast<int>(ms.count() % 1000);
    body += static_cast<char>('0' + millis / 100);
    referenceTwo(body, millis % 100);
    if (fix.valid) {
        body += ",A,";
        referenceAngle(body, std::fabs(fix.latitude), 2);
        body += fix.latitude < 0 ? ",S," : ",N,";
        referenceAngle(body, std::fabs(fix.longitude), 3);
        body += fix.longitude < 0 ? ",W," : ",E,";
        referenceFixed(body, std::fabs(fix.speedKnots), 1);
        body += ',';
        referenceFixed(body, std::fmod(std::fabs(fix.courseDegrees), 360.0), 1);
        body += ',';
    } else {
        body += ",V,,,,,,,";
    }
    referenceTwo(body, utc.tm_mday);
    referenceTwo(body, utc.tm_mon + 1);
    referenceTwo(body, utc.tm_year % 100);
    body += fix.valid ? ",,,A" : ",,,N";
    body += '*';
    body += nmeaChecksum(std::string_view(body).substr(1, body.size() - 2));
    return body;
}

// A fix as the center makes it of a location report: micro-degrees, speed in
// 0.1 km/h, course in whole degrees, the hemispheres from status bits.
RmcFix fixOfReport(std::uint32_t latitude, std::uint32_t longitude, std::uint16_t speed,
                   std::uint16_t direction, bool south, bool west) {
    RmcFix fix;
    fix.valid = latitude <= 90'000'000 && longitude <= 180'000'000;
    fix.latitude = (south ? -1 : 1) * (latitude / 1e6);
    fix.longitude = (west ? -1 : 1) * (longitude / 1e6);
    fix.speedKnots = speed / 10.0 / 1.852;
    fix.courseDegrees = direction;
    return fix;
}

system_clock::time_point atMs(std::int64_t ms) {
    return system_clock::time_point(milliseconds(ms));
}

void expectSame(std::string_view talker, const RmcFix& fix, system_clock::time_point when) {
    ASSERT_EQ(rmcSentence(talker, fix, when), referenceSentence(talker, fix, when))
        << "lat " << fix.latitude << " lon " << fix.longitude << " speed " << fix.speedKnots
        << " course " << fix.courseDegrees << " ms " << when.time_since_epoch().count();
}

// Numbers as to_chars writes them, where rounding is hardest: exact halves
// (which to_chars rounds to even), values a hair either side of a rounding
// boundary, powers of two down to the smallest, and the values past the
// integer path (2^44 and above, infinities, NaN).
TEST(FixedDecimal, WritesWhatToCharsWrites) {
    std::vector<double> values = {0.0,
                                  1.0,
                                  0.5,
                                  0.05,
                                  0.00005,
                                  0.03125,
                                  59.99995,
                                  59.999949999999995,
                                  9.99995,
                                  0.15,
                                  0.25,
                                  0.35,
                                  2.5,
                                  3.5,
                                  std::numeric_limits<double>::denorm_min(),
                                  std::numeric_limits<double>::min(),
                                  std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::infinity(),
                                  std::numeric_limits<double>::quiet_NaN(),
                                  std::ldexp(1.0, 44),
                                  std::nextafter(std::ldexp(1.0, 44), 0.0),
                                  std::ldexp(1.0, 53),
                                  1e20,
                                  -0.0};
    for (int e = -1074; e < 60; ++e) {
        values.push_back(std::ldexp(1.0, e));
        values.push_back(std::ldexp(3.0, e));
    }
    // Exact halves of the last decimal: k/2 * 10^-d for odd k are exact
    // binary values when 5^d divides k.
    for (int k = 1; k < 20000; k += 2) {
        for (const double scale : {20.0, 200.0, 2000.0, 20000.0, 200000.0, 2000000.0}) {
            values.push_back(k / scale);
        }
    }
    std::mt19937_64 random(808);
    for (int i = 0; i < 20000; ++i) {
        const double v = std::uniform_real_distribution<double>(0, 4000)(random);
        values.push_back(v);
        values.push_back(std::nextafter(v, 0.0));
        values.push_back(std::round(v * 10000) / 10000 + 0.00005);
        values.push_back(
            std::ldexp(static_cast<double>(random() >> 11), -static_cast<int>(random() % 100)));
    }
    for (const double v : values) {
        for (int decimals = 0; decimals <= 6; ++decimals) {
            for (const int minIntDigits : {0, 2, 3}) {
                std::string expected;
                referenceFixed(expected, v, decimals, minIntDigits);
                char buffer[kFixedDecimalMax + 32];
                const char* end = appendFixedDecimal(buffer, v, decimals, minIntDigits);
                ASSERT_EQ(std::string_view(buffer, static_cast<std::size_t>(end - buffer)),
                          expected)
                    << "value " << v << " decimals " << decimals;
            }
        }
    }
}

// Every field the center fills from a location report, at its edges: zero and
// the largest coordinates, each hemisphere, positions off the globe (no
// position written), minutes that carry into the next degree, every speed
// and course a report can hold, and times over the whole range of the
// report's two-digit years and beyond.
TEST(RmcSentenceReference, ReportsAtTheirEdgesMatchTheFormerWriter) {
    const std::uint32_t coordinates[] = {0,           1,           9,          10,
                                         999'999,     1'000'000,   1'000'001,  59'999'999,
                                         89'999'999,  90'000'000,  90'000'001, 179'999'999,
                                         180'000'000, 180'000'001, 0xFFFFFFFF};
    const std::int64_t times[] = {0, 999, -1, -1001, -86'400'000,
                                  951'782'400'000,      // 2000-02-29
                                  946'684'800'000 - 1,  // 1999-12-31 23:59:59.999
                                  4'102'444'799'999,    // 2099-12-31 23:59:59.999
                                  4'107'542'400'000,    // 2100-03-01
                                  // The ends of what the clock's nanoseconds hold: 1677 and 2262.
                                  -9'223'372'036'854, 9'223'372'036'854, 1'797'552'000'123};
    for (const std::uint32_t latitude : coordinates) {
        for (const std::uint32_t longitude : coordinates) {
            for (const int hemispheres : {0, 1, 2, 3}) {
                const RmcFix fix =
                    fixOfReport(latitude, longitude, 0, 0, hemispheres & 1, hemispheres & 2);
                for (const std::int64_t ms : times) {
                    expectSame("GP", fix, atMs(ms));
                }
            }
        }
    }
    for (int speed = 0; speed <= 0xFFFF; ++speed) {
        expectSame("GP",
                   fixOfReport(25'052'057, 121'567'123, static_cast<std::uint16_t>(speed), 0, false,
                               false),
                   atMs(1'797'552'000'000));
    }
    for (int direction = 0; direction <= 0xFFFF; ++direction) {
        expectSame("GN", fixOfReport(1, 2, 3, static_cast<std::uint16_t>(direction), true, true),
                   atMs(1'797'552'000'000 + direction));
    }
    // The micro-degrees either side of every whole degree, where the minutes
    // round up to 60 and carry.
    for (std::uint32_t degree = 0; degree <= 180; ++degree) {
        for (std::uint32_t off = 0; off < 200; ++off) {
            const std::uint32_t below = degree * 1'000'000 - off;
            const std::uint32_t above = degree * 1'000'000 + off;
            expectSame("GP", fixOfReport(below % 90'000'001, below, 100, 90, false, true), atMs(0));
            expectSame("GP", fixOfReport(above % 90'000'001, above, 100, 90, true, false), atMs(0));
        }
    }
}

// Random reports and random times, and fixes as the simulators make them
// (any double), with other talkers.
TEST(RmcSentenceReference, RandomReportsAndFixesMatchTheFormerWriter) {
    std::mt19937_64 random(1078);
    for (int i = 0; i < 200'000; ++i) {
        const auto latitude = static_cast<std::uint32_t>(random() % 95'000'000);
        const auto longitude = static_cast<std::uint32_t>(random() % 185'000'000);
        const auto speed = static_cast<std::uint16_t>(random());
        const auto direction = static_cast<std::uint16_t>(random() % 400);
        const auto ms = static_cast<std::int64_t>(random() % 5'000'000'000'000) - 100'000'000'000;
        expectSame("GP",
                   fixOfReport(latitude, longitude, speed, direction, random() & 1, random() & 2),
                   atMs(ms));
    }
    std::uniform_real_distribution<double> unit(-1, 1);
    for (int i = 0; i < 50'000; ++i) {
        RmcFix fix;
        fix.valid = (random() & 7) != 0;
        fix.latitude = unit(random) * 90;
        fix.longitude = unit(random) * 180;
        fix.speedKnots = unit(random) * 300;
        fix.courseDegrees = unit(random) * 1000;
        expectSame(i % 3 == 0 ? "GN" : (i % 3 == 1 ? "GP" : "GLONASS"), fix,
                   atMs(static_cast<std::int64_t>(random() % 4'000'000'000'000)));
    }
}

// Every micro-degree of latitude and longitude: minutes long; run with
// --gtest_also_run_disabled_tests.
TEST(RmcSentenceReference, DISABLED_EveryMicroDegreeMatchesTheFormerWriter) {
    for (std::uint32_t i = 0; i <= 180'000'000; ++i) {
        expectSame("GP",
                   fixOfReport(i % 90'000'001, i, static_cast<std::uint16_t>(i),
                               static_cast<std::uint16_t>(i % 360), i & 1, i & 2),
                   atMs(1'797'552'000'000 + i));
    }
}

}  // namespace
}  // namespace gps
