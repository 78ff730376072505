#include "db/fix_upkeep.h"

#include <charconv>
#include <cstdio>

#include "text/ascii.h"

namespace db {

namespace {
constexpr int kMaxRetentionDays = 36500;
}

std::string ReadFixRetentionDays(std::string_view text, int& days) {
    days = 0;
    const std::string_view value = text::TrimAscii(text);
    if (value.empty()) {
        return {};
    }
    int n = -1;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec == std::errc() && end == value.data() + value.size() && n >= 0 &&
        n <= kMaxRetentionDays) {
        days = n;
        return {};
    }
    return "EventServer_FixRetentionDays: '" + std::string(text) +
           "' is not a number of days from 0 to " + std::to_string(kMaxRetentionDays) +
           "; every fix is kept";
}

std::string DayText(std::chrono::sys_days day) {
    const std::chrono::year_month_day ymd{day};
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return buf;
}

std::string FixCutoffText(std::chrono::sys_days today, int retentionDays) {
    return DayText(today - std::chrono::days(retentionDays)) + " 00:00:00.000";
}

}  // namespace db
