#include "gps/rmc_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <ctime>

#include "gps/fixed_decimal.h"
#include "gps/nmea_checksum.h"

namespace gps {
namespace {

// The fields of the time a sentence carries; tm_year and tm_mon as struct tm
// counts them (years since 1900, months from 0).
struct UtcFields {
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// The UTC fields of a second count since 1970-01-01, from the calendar (the
// proleptic Gregorian one) as gmtime_r gives them, without its lock and its
// time zone bookkeeping; gmtime_r itself for times before 1970 or after 9999.
UtcFields utcFields(std::int64_t seconds) {
    UtcFields f;
    constexpr std::int64_t kLastGmtimeYear9999 = 253402300799;  // 9999-12-31 23:59:59
    if (seconds < 0 || seconds > kLastGmtimeYear9999) {
        const auto t = static_cast<std::time_t>(seconds);
        std::tm utc{};
        gmtime_r(&t, &utc);
        return {utc.tm_year, utc.tm_mon, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec};
    }
    const std::int64_t days = seconds / 86400;
    const auto secondOfDay = static_cast<int>(seconds % 86400);
    f.hour = secondOfDay / 3600;
    f.minute = secondOfDay / 60 % 60;
    f.second = secondOfDay % 60;
    // Days from 0000-03-01 in 400-year eras of 146,097 days; March first, so
    // that the leap day ends the year.
    const std::int64_t z = days + 719468;
    const std::int64_t era = z / 146097;
    const auto dayOfEra = static_cast<int>(z - era * 146097);
    const int yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int monthFromMarch = (5 * dayOfYear + 2) / 153;
    f.day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const int month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const auto year = static_cast<int>(era * 400 + yearOfEra) + (month <= 2 ? 1 : 0);
    f.year = year - 1900;
    f.month = month - 1;
    return f;
}

// Two digits of `value` (its last two; a negative value's signed digits, as
// the sentence always wrote them).
char* appendTwo(char* out, int value) {
    *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

// ddmm.mmmm (latitude, 2 degree digits) or dddmm.mmmm (longitude, 3).
char* appendAngle(char* out, double degrees, int degreeDigits) {
    double whole = std::floor(degrees);
    double minutes = (degrees - whole) * 60.0;
    // Rounding to four decimals may carry into the next degree.
    if (std::round(minutes * 10000.0) >= 600000.0) {
        minutes = 0;
        whole += 1;
    }
    out = appendFixedDecimal(out, whole, 0, degreeDigits);
    return appendFixedDecimal(out, minutes, 4, 2);
}

}  // namespace

std::string rmcSentence(std::string_view talker, const RmcFix& fix,
                        std::chrono::system_clock::time_point when) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
    const UtcFields utc = utcFields(ms.count() / 1000);

    // Everything after the talker is written into a buffer on the stack, and
    // the sentence becomes a string of its size at once: one for every report
    // of every terminal.
    char buffer[64 + 4 * kFixedDecimalMax];
    char* out = std::copy_n("RMC,", 4, buffer);
    out = appendTwo(out, utc.hour);
    out = appendTwo(out, utc.minute);
    out = appendTwo(out, utc.second);
    *out++ = '.';
    const int millis = static_cast<int>(ms.count() % 1000);
    *out++ = static_cast<char>('0' + millis / 100);
    out = appendTwo(out, millis % 100);
    if (fix.valid) {
        out = std::copy_n(",A,", 3, out);
        out = appendAngle(out, std::fabs(fix.latitude), 2);
        out = std::copy_n(fix.latitude < 0 ? ",S," : ",N,", 3, out);
        out = appendAngle(out, std::fabs(fix.longitude), 3);
        out = std::copy_n(fix.longitude < 0 ? ",W," : ",E,", 3, out);
        out = appendFixedDecimal(out, std::fabs(fix.speedKnots), 1);
        *out++ = ',';
        // fmod is exact, and leaves a course below 360 as it is.
        double course = std::fabs(fix.courseDegrees);
        if (!(course < 360.0)) {
            course = std::fmod(course, 360.0);
        }
        out = appendFixedDecimal(out, course, 1);
        *out++ = ',';
    } else {
        out = std::copy_n(",V,,,,,,,", 9, out);
    }
    out = appendTwo(out, utc.day);
    out = appendTwo(out, utc.month + 1);
    out = appendTwo(out, utc.year % 100);
    out = std::copy_n(fix.valid ? ",,,A" : ",,,N", 4, out);

    const std::string_view rest(buffer, static_cast<std::size_t>(out - buffer));
    const unsigned sum = nmeaChecksumByte(talker) ^ nmeaChecksumByte(rest);
    std::string sentence;
    sentence.reserve(1 + talker.size() + rest.size() + 3);
    sentence += '$';
    sentence += talker;
    sentence += rest;
    sentence += '*';
    sentence += nmeaHexDigit(sum >> 4);
    sentence += nmeaHexDigit(sum);
    return sentence;
}

}  // namespace gps
