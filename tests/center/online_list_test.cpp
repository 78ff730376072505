// The text of the list of terminals online, column by column.

#include "center/online_list.h"

#include <gtest/gtest.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace center {
namespace {

using namespace std::chrono;

TEST(OnlineList, EachTerminalIsOneLineInFixedColumns) {
    DeviceFeed::LastReport report;
    report.when = sys_days(year(2024) / February / 29) + hours(23) + minutes(59) + seconds(58);
    report.latitude = -33.86882;
    report.longitude = 151.209296;
    report.speedKmh = 36.5;
    const std::vector<OnlineEntry> terminals{
        {"013912344329", "127.0.0.1:40000", "B1", report},
        {"12345678901234567890", "[::1]:40001", "B2", std::nullopt},
    };
    const auto now = sys_days(year(2026) / December / 8) + hours(2);
    const std::string text = OnlineListText(terminals, now, 4242);
    const std::string expected =
        "2 terminals online at 2026-12-08 02:00:00 UTC\n"
        "PHONE        ADDRESS               LAST REPORT (UTC)   LATITUDE   LONGITUDE   KM/H  "
        "PLATE\n"
        "013912344329 127.0.0.1:40000       2024-02-29 23:59:58 -33.868820 151.209296  36.5  'B1'\n"
        // A column never cuts what is longer than its width.
        "12345678901234567890 [::1]:40001           none yet            -          -           -"
        "     'B2'\n";
    ASSERT_EQ(text.rfind("# written ", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.find('\n') + 1), expected);
}

// The list writes its numbers and times by hand: the bytes must be those
// of the general formatters, signs, halves and calendar edges included.
TEST(OnlineList, NumbersAndTimesAreThoseOfTheGeneralFormatters) {
    const auto fixed = [](double value, int decimals) {
        char text[512];
        const auto end =
            std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
        return std::string(text, end.ptr);
    };
    const auto utc = [](sys_seconds when) {
        const auto day = floor<days>(when);
        const year_month_day date(day);
        const hh_mm_ss time(when - day);
        char text[48];
        std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d",
                      static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                      static_cast<unsigned>(date.day()), static_cast<int>(time.hours().count()),
                      static_cast<int>(time.minutes().count()),
                      static_cast<int>(time.seconds().count()));
        return std::string(text);
    };
    const std::vector<double> values{0.0,       -0.0,        -0.0000004, 0.0000005,  -0.0000005,
                                     0.0000015, -89.9999995, 90.0,       -180.0,     179.9999996,
                                     22.538151, -33.86882,   0.05,       0.25,       -0.25,
                                     1e-300,    -1e-300,     123456.75,  -0.0000025, 45.0000005};
    const std::vector<sys_seconds> times{
        sys_days(year(2000) / January / 1), sys_days(year(1970) / January / 1),
        sys_days(year(2099) / December / 31) + hours(23) + minutes(59) + seconds(59),
        sys_days(year(2024) / February / 29) + hours(12) + minutes(5) + seconds(9),
        // Before 1970 and near the end of what the clock's nanoseconds hold.
        sys_days(year(1700) / March / 1) + seconds(1), sys_days(year(2262) / April / 10)};
    std::vector<OnlineEntry> terminals;
    for (std::size_t i = 0; i < values.size(); ++i) {
        DeviceFeed::LastReport report;
        report.when = times[i % times.size()];
        report.latitude = values[i];
        report.longitude = -values[i];
        report.speedKmh = values[(i + 1) % values.size()];
        terminals.push_back({"p" + std::to_string(i), "a", "", report});
    }
    const std::string text = OnlineListText(terminals, sys_days(year(2026) / December / 8), 1);
    std::size_t at = text.find("\np0 ");
    ASSERT_NE(at, std::string::npos) << text;
    for (std::size_t i = 0; i < terminals.size(); ++i) {
        const std::size_t end = text.find('\n', at + 1);
        const std::string line = text.substr(at + 1, end - at - 1);
        at = end;
        const auto& report = *terminals[i].lastReport;
        std::string expected = utc(floor<seconds>(report.when)) + " ";
        const auto column = [&](const std::string& field, std::size_t width) {
            expected += field + std::string(field.size() < width ? width - field.size() : 0, ' ');
            expected += ' ';
        };
        column(fixed(report.latitude, 6), 10);
        column(fixed(report.longitude, 6), 11);
        column(fixed(report.speedKmh, 1), 5);
        EXPECT_NE(line.find(expected), std::string::npos)
            << "line " << i << ": " << line << "\nexpected: " << expected;
    }
}

}  // namespace
}  // namespace center
