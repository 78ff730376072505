#include "gps/rmc_parser.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>

#include "gps/nmea_checksum.h"

namespace gps {
namespace {

// The sentence this file reads (fields numbered from 0, the tag being field 0):
//
//   $GPRMC,062745.00,A,3412.5000,S,01830.7500,W,10.50,254.80,150926,,,A*6C
//    0     1         2 3         4 5          6 7     8      9     ...  checksum
//
//   1 UTC time (not read)       5 longitude dddmm.mmmm
//   2 status, A = valid         6 E or W
//   3 latitude ddmm.mmmm        7 speed over ground, knots
//   4 N or S                    8 course over ground, degrees
//   9 date and later fields (magnetic variation, mode) are not read.
// Minutes carry 1 to 7 decimals ("4916.45", "3412.50000"), not only four.
// The checksum is the XOR of every byte between '$' and '*', as two upper-case
// hexadecimal digits.

// The last field read; later ones are never looked at.
constexpr int kCourseField = 8;
constexpr double kKmPerNauticalMile = 1.852;

struct Fix {
    double latitude = 0;
    double longitude = 0;
    double speed = 0;
    double course = 0;
};

// "$" + talker (two letters A-Z) + "RMC" + ",": $GPRMC, $GNRMC, $GLRMC, $GARMC,
// $BDRMC ... A talker never starts with 'P': "$P" opens a receiver's own
// sentence ($PGRMC, $PGRME), whatever letters follow.
bool isRmcTag(const char* p) {
    auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
    // Short-circuit keeps every read before the terminating NUL.
    return p[0] == '$' && upper(p[1]) && p[1] != 'P' && upper(p[2]) && p[3] == 'R' && p[4] == 'M' &&
           p[5] == 'C' && p[6] == ',';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Finds the sentence and returns what lies between its '$' and its '*'
// ("GPRMC,062745.00,...,A"); `checksum` is left on the character after the
// '*'. Nothing when there is no sentence to read, which leaves the caller's
// values as they were.
std::optional<std::string_view> findSentence(const char* text, const char*& checksum) {
    const char* start = std::strchr(text, '$');
    while (start != nullptr && !isRmcTag(start)) {
        start = std::strchr(start + 1, '$');
    }
    if (start == nullptr) {
        return std::nullopt;
    }
    const char* star = std::strchr(start, '*');
    if (star == nullptr) {
        return std::nullopt;
    }
    // Mode indicator 'N': the receiver itself says the data are not valid.
    if (star[-1] == 'N') {
        return std::nullopt;
    }
    checksum = star + 1;
    return std::string_view(start + 1, static_cast<std::size_t>(star - start - 1));
}

// "*6C": exactly two upper-case hexadecimal digits of the XOR of `body`.
bool checksumMatches(std::string_view body, const char* checksum) {
    const unsigned sum = nmeaChecksumByte(body);
    // The second character is read only when the first matched, so a text
    // ending right after the '*' is never read past its NUL.
    return checksum[0] == nmeaHexDigit(sum >> 4) && checksum[1] == nmeaHexDigit(sum);
}

// A number as the device sends it: the longest prefix of the field that reads
// as a decimal number ("10.50", "-3", "1.5e1", " 7"); 0 when there is none.
// The result is always finite: "nan", "inf" and overflowing exponents give 0.
double readNumber(std::string_view field) {
    std::size_t i = 0;
    while (i < field.size() && (field[i] == ' ' || field[i] == '\t')) {
        ++i;
    }
    if (i < field.size() && field[i] == '+') {
        ++i;
    }
    field.remove_prefix(i);
    if (field.empty() || !(isDigit(field[0]) || field[0] == '.' || field[0] == '-')) {
        return 0;
    }
    double value = 0;
    const auto result = std::from_chars(field.data(), field.data() + field.size(), value,
                                        std::chars_format::general);
    if (result.ec != std::errc() || !std::isfinite(value)) {
        return 0;
    }
    return value;
}

// Receivers send from 1 decimal of minutes (NMEA 2.x: "4916.45") to 7 (high
// precision modes); 4 and 5 are the common defaults.
constexpr std::size_t kMinMinuteDecimals = 1;
constexpr std::size_t kMaxMinuteDecimals = 7;

// "3412.5000" (ddmm.m..., degreeDigits = 2) or "01830.7500" (dddmm.m...,
// degreeDigits = 3): every character a digit but the point, which sits right
// after the two minute digits, and 1 to 7 decimals of minutes. Minutes stay
// below 60 and the angle within `limit` degrees.
std::optional<double> readAngle(std::string_view field, std::size_t degreeDigits, double limit) {
    const std::size_t point = degreeDigits + 2;
    if (field.size() < point + 1 + kMinMinuteDecimals ||
        field.size() > point + 1 + kMaxMinuteDecimals || field.find('.') != point) {
        return std::nullopt;
    }
    int degrees = 0;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (i != point && !isDigit(field[i])) {
            return std::nullopt;
        }
        if (i < degreeDigits) {
            degrees = degrees * 10 + (field[i] - '0');
        }
    }
    const double minutes = readNumber(field.substr(degreeDigits));
    if (minutes >= 60.0) {
        return std::nullopt;
    }
    const double angle = degrees + minutes / 60.0;
    if (angle > limit) {
        return std::nullopt;
    }
    return angle;
}

// Reads fields 2 to 8 of `body` (the text between '$' and '*'). Only fields
// ended by a comma are read, so nothing after the '*' is ever taken for a
// field; a sentence that ends before the course field is refused.
bool readFields(std::string_view body, Fix& fix) {
    std::size_t pos = 0;
    for (int number = 0; number <= kCourseField; ++number) {
        const std::size_t comma = body.find(',', pos);
        if (comma == std::string_view::npos) {
            return false;
        }
        const std::string_view field = body.substr(pos, comma - pos);
        pos = comma + 1;
        const char first = field.empty() ? '\0' : field[0];
        switch (number) {
            case 2:
                if (first != 'A') {
                    return false;
                }
                break;
            case 3:
                if (auto angle = readAngle(field, 2, 90.0)) {
                    fix.latitude = *angle;
                } else {
                    return false;
                }
                break;
            case 4:
                if (first == 'S') {
                    fix.latitude = -fix.latitude;
                } else if (first != 'N') {
                    return false;
                }
                break;
            case 5:
                if (auto angle = readAngle(field, 3, 180.0)) {
                    fix.longitude = *angle;
                } else {
                    return false;
                }
                break;
            case 6:
                if (first == 'W') {
                    fix.longitude = -fix.longitude;
                } else if (first != 'E') {
                    return false;
                }
                break;
            case 7:
                fix.speed = readNumber(field) * kKmPerNauticalMile;
                break;
            case kCourseField:
                fix.course = readNumber(field);
                break;
            default:
                break;
        }
    }
    return true;
}

void store(double* out, double value) {
    if (out != nullptr) {
        *out = value;
    }
}

}  // namespace
}  // namespace gps

bool ParseGPRMC(const char* text, double* latitude, double* longitude, double* speed,
                double* course) {
    if (text == nullptr) {
        return false;
    }
    const char* checksum = nullptr;
    const auto body = gps::findSentence(text, checksum);
    if (!body) {
        return false;
    }
    gps::Fix fix;
    const bool ok = gps::readFields(*body, fix) && gps::checksumMatches(*body, checksum);
    if (!ok) {
        fix = gps::Fix{};
    }
    gps::store(latitude, fix.latitude);
    gps::store(longitude, fix.longitude);
    gps::store(speed, fix.speed);
    gps::store(course, fix.course);
    return ok;
}
