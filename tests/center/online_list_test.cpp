// The text of the list of terminals online, column by column.

#include "center/online_list.h"

#include <gtest/gtest.h>

#include <chrono>

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

}  // namespace
}  // namespace center
