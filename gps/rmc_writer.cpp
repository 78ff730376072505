#include "gps/rmc_writer.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "gps/nmea_checksum.h"

namespace gps {
namespace {

// Appends a non-negative number with a fixed count of decimals, without the
// process locale.
void appendFixed(std::string& out, double value, int decimals, int minIntDigits = 0) {
    char buffer[64];
    const auto r =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    const std::size_t length = static_cast<std::size_t>(r.ptr - buffer);
    const std::string_view text(buffer, length);
    const std::size_t dot = text.find('.');
    const std::size_t intDigits = dot == std::string_view::npos ? length : dot;
    for (std::size_t i = intDigits; i < static_cast<std::size_t>(minIntDigits); ++i) {
        out += '0';
    }
    out.append(text);
}

void appendTwo(std::string& out, int value) {
    out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

// ddmm.mmmm (latitude, 2 degree digits) or dddmm.mmmm (longitude, 3).
void appendAngle(std::string& out, double degrees, int degreeDigits) {
    double whole = std::floor(degrees);
    double minutes = (degrees - whole) * 60.0;
    // Rounding to four decimals may carry into the next degree.
    if (std::round(minutes * 10000.0) >= 600000.0) {
        minutes = 0;
        whole += 1;
    }
    const int wholeDegrees = static_cast<int>(whole);
    std::string deg = std::to_string(wholeDegrees);
    for (std::size_t i = deg.size(); i < static_cast<std::size_t>(degreeDigits); ++i) {
        out += '0';
    }
    out += deg;
    appendFixed(out, minutes, 4, 2);
}

}  // namespace

std::string rmcSentence(std::string_view talker, const RmcFix& fix,
                        std::chrono::system_clock::time_point when) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
    const std::time_t seconds = static_cast<std::time_t>(ms.count() / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);

    // One string from the '$' to the checksum: a sentence for every report
    // of every terminal is written here.
    std::string body;
    body.reserve(88);
    body += '$';
    body += talker;
    body += "RMC,";
    appendTwo(body, utc.tm_hour);
    appendTwo(body, utc.tm_min);
    appendTwo(body, utc.tm_sec);
    body += '.';
    const int millis = static_cast<int>(ms.count() % 1000);
    body += static_cast<char>('0' + millis / 100);
    appendTwo(body, millis % 100);
    if (fix.valid) {
        body += ",A,";
        appendAngle(body, std::fabs(fix.latitude), 2);
        body += fix.latitude < 0 ? ",S," : ",N,";
        appendAngle(body, std::fabs(fix.longitude), 3);
        body += fix.longitude < 0 ? ",W," : ",E,";
        appendFixed(body, std::fabs(fix.speedKnots), 1);
        body += ',';
        appendFixed(body, std::fmod(std::fabs(fix.courseDegrees), 360.0), 1);
        body += ',';
    } else {
        body += ",V,,,,,,,";
    }
    appendTwo(body, utc.tm_mday);
    appendTwo(body, utc.tm_mon + 1);
    appendTwo(body, utc.tm_year % 100);
    body += fix.valid ? ",,,A" : ",,,N";

    const std::string checksum = nmeaChecksum(std::string_view(body).substr(1));
    body += '*';
    body += checksum;
    return body;
}

}  // namespace gps
