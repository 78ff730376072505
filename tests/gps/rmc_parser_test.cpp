#include "gps/rmc_parser.h"

#include <gtest/gtest.h>

#include <array>
#include <charconv>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "testsupport/nmea/nmea_checksum.h"

namespace {

// Put into every output before a call, to see which ones the parser wrote.
constexpr double kUntouched = -999.25;

struct Fix {
    double latitude;
    double longitude;
    double speed;
    double course;
    bool operator==(const Fix&) const = default;
};

void PrintTo(const Fix& fix, std::ostream* os) {
    *os << "{" << fix.latitude << ", " << fix.longitude << ", " << fix.speed << ", " << fix.course
        << "}";
}

constexpr Fix kLeftAlone{kUntouched, kUntouched, kUntouched, kUntouched};
constexpr Fix kZeroed{0, 0, 0, 0};

struct Result {
    bool ok;
    Fix fix;
    bool operator==(const Result&) const = default;
};

void PrintTo(const Result& result, std::ostream* os) {
    *os << (result.ok ? "true " : "false ");
    PrintTo(result.fix, os);
}

Result parse(const std::string& text) {
    Fix fix = kLeftAlone;
    const bool ok =
        ParseGPRMC(text.c_str(), &fix.latitude, &fix.longitude, &fix.speed, &fix.course);
    return {ok, fix};
}

// "$GPRMC,...,A" -> "$GPRMC,...,A*6C"
using testnmea::withChecksum;

// An RMC sentence with a valid checksum, built from the worked example with
// the given fields replaced.
struct Fields {
    std::string talker = "GP";
    std::string status = "A";
    std::string latitude = "3412.5000";
    std::string ns = "S";
    std::string longitude = "01830.7500";
    std::string ew = "W";
    std::string speed = "10.50";
    std::string course = "254.80";
    std::string rest = "150926,,,A";
};

std::string rmc(const Fields& f) {
    return withChecksum("$" + f.talker + "RMC,062745.00," + f.status + "," + f.latitude + "," +
                        f.ns + "," + f.longitude + "," + f.ew + "," + f.speed + "," + f.course +
                        "," + f.rest);
}

const std::string kWorkedExample =
    "$GPRMC,062745.00,A,3412.5000,S,01830.7500,W,10.50,254.80,150926,,,A*6C";
const std::string kX7 = "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D";
const Fix kWorkedFix{-(34 + 12.5 / 60.0), -(18 + 30.75 / 60.0), 10.50 * 1.852, 254.80};
const Fix kX7Fix{25 + 3.1234 / 60.0, 121 + 40.5678 / 60.0, 10.0 * 1.852, 90.0};
const std::string kGga = "$GPGGA,062745.00,3412.5000,S,01830.7500,W,1,08,0.9,545.4,M,46.9,M,,*47";

struct Case {
    const char* name;
    std::string text;
    Result expected;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

std::string caseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// ---------------------------------------------------------------------------
// Sentences that are read.

const std::vector<Case> kAccepted = {
    {"WorkedExampleSouthWestIsNegative", kWorkedExample, {true, kWorkedFix}},
    {"X7NorthEastIsPositive", kX7, {true, kX7Fix}},
    {"GgaLineBeforeTheRmcSentence", kGga + "\r\n" + kWorkedExample, {true, kWorkedFix}},
    {"TextAfterTheChecksumIsIgnored", kWorkedExample + "\r\n$GPGSV,3,1,11,,*", {true, kWorkedFix}},
    {"StatusAFollowedByMoreCharacters", rmc({.status = "Active"}), {true, kWorkedFix}},
    {"EmptySpeedAndCourseGiveZero",
     rmc({.speed = "", .course = ""}),
     {true, {kWorkedFix.latitude, kWorkedFix.longitude, 0, 0}}},
    {"UnreadableSpeedAndCourseGiveZero",
     rmc({.speed = "n/a", .course = "x"}),
     {true, {kWorkedFix.latitude, kWorkedFix.longitude, 0, 0}}},
    {"SpeedOnlyPrefixIsRead", rmc({.speed = "10.50kn"}), {true, kWorkedFix}},
    {"SentenceWithoutModeField", rmc({.rest = "150926,,"}), {true, kWorkedFix}},
    {"CourseFieldEndedByCommaWithNothingAfter", rmc({.rest = ""}), {true, kWorkedFix}},
    {"GnssTalkerGN", rmc({.talker = "GN"}), {true, kWorkedFix}},
    {"GlonassTalkerGL", rmc({.talker = "GL"}), {true, kWorkedFix}},
    {"GalileoTalkerGA", rmc({.talker = "GA"}), {true, kWorkedFix}},
    {"BeidouTalkerBD", rmc({.talker = "BD"}), {true, kWorkedFix}},
    {"RmcOfAnotherTalkerAfterAGga", kGga + "\n" + rmc({.talker = "GN"}), {true, kWorkedFix}},
    {"PoleAndDateLineAreInRange",
     rmc({.latitude = "9000.0000", .ns = "N", .longitude = "18000.0000", .ew = "E"}),
     {true, {90, 180, kWorkedFix.speed, kWorkedFix.course}}},
    {"LastMinuteBelowSixty",
     rmc({.latitude = "0059.9999", .ns = "N", .longitude = "00059.9999", .ew = "E"}),
     {true, {59.9999 / 60.0, 59.9999 / 60.0, kWorkedFix.speed, kWorkedFix.course}}},
    {"NotANumberSpeedAndInfiniteCourseGiveZero",
     rmc({.speed = "nan", .course = "inf"}),
     {true, {kWorkedFix.latitude, kWorkedFix.longitude, 0, 0}}},
    {"OverflowingSpeedGivesZero",
     rmc({.speed = "1e999"}),
     {true, {kWorkedFix.latitude, kWorkedFix.longitude, 0, kWorkedFix.course}}},
    // Receivers differ in how many decimals of minutes they send.
    {"ClassicSentenceWithTwoDecimals",
     "$GPRMC,225446,A,4916.45,N,12311.12,W,000.5,054.7,191194,020.3,E*68",
     {true, {49 + 16.45 / 60.0, -(123 + 11.12 / 60.0), 0.5 * 1.852, 54.7}}},
    {"OneDecimalOfMinutes",
     rmc({.latitude = "3412.5", .longitude = "01830.7"}),
     {true, {-(34 + 12.5 / 60.0), -(18 + 30.7 / 60.0), kWorkedFix.speed, kWorkedFix.course}}},
    {"FiveDecimalsOfMinutes",
     rmc({.latitude = "3412.50000", .longitude = "01830.75000"}),
     {true, kWorkedFix}},
    {"SevenDecimalsOfMinutes",
     rmc({.latitude = "3412.5000001", .longitude = "01830.7500001"}),
     {true,
      {-(34 + 12.5000001 / 60.0), -(18 + 30.7500001 / 60.0), kWorkedFix.speed, kWorkedFix.course}}},
    {"MixedDecimalsInOneSentence",
     rmc({.latitude = "3412.500", .longitude = "01830.75000"}),
     {true, kWorkedFix}},
    // A receiver's own sentences look like RMC but are not.
    {"ProprietarySentenceBeforeTheRmc",
     withChecksum("$PGRMC,1,2,3") + "\r\n" + kWorkedExample,
     {true, kWorkedFix}},
    {"ProprietaryTalkerWithValidFieldsIsSkipped",
     rmc({.talker = "PG", .latitude = "0000.0000"}) + "\r\n" + kWorkedExample,
     {true, kWorkedFix}},
    {"TagWithoutItsCommaIsSkipped",
     withChecksum("$GPRMCX,062745.00,A") + "\r\n" + kWorkedExample,
     {true, kWorkedFix}},
};

// ---------------------------------------------------------------------------
// Failures that leave the outputs as they were: no sentence to read.

std::string withoutChecksum(const std::string& sentence) {
    return sentence.substr(0, sentence.find('*'));
}

const std::vector<Case> kLeftAloneFailures = {
    {"EmptyText", "", {false, kLeftAlone}},
    {"OnlyAGgaSentence", kGga, {false, kLeftAlone}},
    {"LowerCaseTag", "$gprmc" + kWorkedExample.substr(6), {false, kLeftAlone}},
    {"DigitInTalker", "$G1RMC" + kWorkedExample.substr(6), {false, kLeftAlone}},
    {"TagWithoutDollar", kWorkedExample.substr(1), {false, kLeftAlone}},
    {"NoStarAfterTheTag", withoutChecksum(kWorkedExample), {false, kLeftAlone}},
    {"StarOnlyBeforeTheTag", "*6C " + withoutChecksum(kWorkedExample), {false, kLeftAlone}},
    {"ModeIndicatorNBeforeStar", rmc({.rest = "150926,,,N"}), {false, kLeftAlone}},
    {"OnlyAProprietarySentence", rmc({.talker = "PG"}), {false, kLeftAlone}},
    {"TagFollowedByTheStar", "$GPRMC*4B", {false, kLeftAlone}},
};

// ---------------------------------------------------------------------------
// Failures that set every output to 0: a sentence that is broken.

std::string replaceChecksum(const std::string& sentence, const std::string& checksum) {
    return sentence.substr(0, sentence.find('*') + 1) + checksum;
}

const std::vector<Case> kZeroedFailures = {
    {"StatusV", rmc({.status = "V"}), {false, kZeroed}},
    {"StatusEmpty", rmc({.status = ""}), {false, kZeroed}},
    {"LatitudeWithEightDecimals", rmc({.latitude = "3412.50000000"}), {false, kZeroed}},
    {"LatitudeWithoutDecimals", rmc({.latitude = "3412."}), {false, kZeroed}},
    {"LatitudeWithoutPoint", rmc({.latitude = "3412"}), {false, kZeroed}},
    {"LatitudePointMisplaced", rmc({.latitude = "341.25000"}), {false, kZeroed}},
    {"LatitudeEmpty", rmc({.latitude = ""}), {false, kZeroed}},
    {"LatitudeHemisphereEmpty", rmc({.ns = ""}), {false, kZeroed}},
    {"LatitudeHemisphereE", rmc({.ns = "E"}), {false, kZeroed}},
    {"LongitudeWithEightDecimals", rmc({.longitude = "01830.75000000"}), {false, kZeroed}},
    {"LongitudeWithoutDecimals", rmc({.longitude = "01830."}), {false, kZeroed}},
    {"LongitudeMinutesWithOneDigit", rmc({.longitude = "0183.75"}), {false, kZeroed}},
    {"LongitudeWithTwoDegreeDigits", rmc({.longitude = "1830.75000"}), {false, kZeroed}},
    {"LongitudeHemisphereEmpty", rmc({.ew = ""}), {false, kZeroed}},
    {"LongitudeHemisphereN", rmc({.ew = "N"}), {false, kZeroed}},
    {"ChecksumInLowerCase", replaceChecksum(kWorkedExample, "6c"), {false, kZeroed}},
    {"ChecksumDifferent", replaceChecksum(kWorkedExample, "6D"), {false, kZeroed}},
    {"ChecksumMissing", replaceChecksum(kWorkedExample, ""), {false, kZeroed}},
    {"ChecksumOneCharacter", replaceChecksum(kWorkedExample, "6"), {false, kZeroed}},
    // Sentences that must not be taken for a fix although they were, once.
    {"ShortSentenceWithValidChecksum", withChecksum("$GPRMC,1"), {false, kZeroed}},
    {"SentenceEndingAtTheLongitude",
     withChecksum("$GPRMC,062745.00,A,3412.5000,S,01830.7500,W"),
     {false, kZeroed}},
    {"FieldsAfterTheStarAreNotRead",
     withChecksum("$GPRMC,062745.00,A,3412.5000,S,01830.7500,W") + ",10.50,254.80,150926,,,A",
     {false, kZeroed}},
    {"CourseEndedByTheStar",
     withChecksum("$GPRMC,062745.00,A,3412.5000,S,01830.7500,W,10.50,254.80"),
     {false, kZeroed}},
    {"LatitudeDegreeNotADigit", rmc({.latitude = "3A12.5000"}), {false, kZeroed}},
    {"LatitudeSignInsteadOfDigit", rmc({.latitude = "-412.5000"}), {false, kZeroed}},
    {"LatitudeMinuteBlank", rmc({.latitude = "34 2.5000"}), {false, kZeroed}},
    {"LatitudeDecimalNotADigit", rmc({.latitude = "3412.5x00"}), {false, kZeroed}},
    {"LatitudeSecondPoint", rmc({.latitude = "3412.50.0"}), {false, kZeroed}},
    {"LongitudeDegreeNotADigit", rmc({.longitude = "0I830.7500"}), {false, kZeroed}},
    {"LongitudeDecimalNotADigit", rmc({.longitude = "01830.75-0"}), {false, kZeroed}},
    {"LatitudeMinutesSixty", rmc({.latitude = "3460.0000"}), {false, kZeroed}},
    {"LongitudeMinutesSixty", rmc({.longitude = "01860.0000"}), {false, kZeroed}},
    {"LatitudeJustAboveNinety", rmc({.latitude = "9000.0001"}), {false, kZeroed}},
    {"LatitudeNinetyOne", rmc({.latitude = "9100.0000"}), {false, kZeroed}},
    {"LongitudeJustAbove180", rmc({.longitude = "18000.0001"}), {false, kZeroed}},
    {"LongitudeDegrees999", rmc({.longitude = "99900.0000"}), {false, kZeroed}},
};

class RmcAccepted : public testing::TestWithParam<Case> {};
class RmcLeftAlone : public testing::TestWithParam<Case> {};
class RmcZeroed : public testing::TestWithParam<Case> {};

TEST_P(RmcAccepted, ReadsTheFix) {
    EXPECT_EQ(parse(GetParam().text), GetParam().expected);
}
TEST_P(RmcLeftAlone, FailsAndLeavesOutputs) {
    EXPECT_EQ(parse(GetParam().text), GetParam().expected);
}
TEST_P(RmcZeroed, FailsAndZeroesOutputs) {
    EXPECT_EQ(parse(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(RmcParser, RmcAccepted, testing::ValuesIn(kAccepted), caseName);
INSTANTIATE_TEST_SUITE_P(RmcParser, RmcLeftAlone, testing::ValuesIn(kLeftAloneFailures), caseName);
INSTANTIATE_TEST_SUITE_P(RmcParser, RmcZeroed, testing::ValuesIn(kZeroedFailures), caseName);

// ---------------------------------------------------------------------------
// What the event server stores: latitude and longitude with six decimals,
// speed and course cut to whole numbers.

std::string sixDecimals(double value) {
    std::array<char, 32> buffer{};
    auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                             std::chars_format::fixed, 6)
                   .ptr;
    return std::string(buffer.data(), end);
}

TEST(RmcParser, FixesPrintAsTheDatabaseStoresThem) {
    struct Row {
        std::string text;
        std::array<std::string, 4> printed;
    };
    const Row rows[] = {
        {kWorkedExample, {"-34.208333", "-18.512500", "19", "254"}},
        {kX7, {"25.052057", "121.676130", "18", "90"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        const Result result = parse(row.text);
        ASSERT_TRUE(result.ok);
        const std::array<std::string, 4> printed = {
            sixDecimals(result.fix.latitude), sixDecimals(result.fix.longitude),
            std::to_string(static_cast<int>(result.fix.speed)),
            std::to_string(static_cast<int>(result.fix.course))};
        EXPECT_EQ(printed, row.printed);
    }
}

// ---------------------------------------------------------------------------
// Null outputs: not written, but their fields are still checked.

TEST(RmcParser, NullTextFailsAndLeavesOutputs) {
    Fix fix = kLeftAlone;
    EXPECT_FALSE(ParseGPRMC(nullptr, &fix.latitude, &fix.longitude, &fix.speed, &fix.course));
    EXPECT_EQ(fix, kLeftAlone);
}

TEST(RmcParser, AllOutputsNullStillValidates) {
    EXPECT_TRUE(ParseGPRMC(kWorkedExample.c_str(), nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(
        ParseGPRMC(rmc({.latitude = "3460.0000"}).c_str(), nullptr, nullptr, nullptr, nullptr));
}

TEST(RmcParser, OnlyGivenOutputsAreWritten) {
    // Each row gives one output; the others are null.
    for (int given = 0; given < 4; ++given) {
        SCOPED_TRACE(given);
        Fix fix = kLeftAlone;
        double* outputs[4] = {nullptr, nullptr, nullptr, nullptr};
        double* fields[4] = {&fix.latitude, &fix.longitude, &fix.speed, &fix.course};
        outputs[given] = fields[given];
        ASSERT_TRUE(
            ParseGPRMC(kWorkedExample.c_str(), outputs[0], outputs[1], outputs[2], outputs[3]));
        Fix expected = kLeftAlone;
        const double worked[4] = {kWorkedFix.latitude, kWorkedFix.longitude, kWorkedFix.speed,
                                  kWorkedFix.course};
        double* expectedFields[4] = {&expected.latitude, &expected.longitude, &expected.speed,
                                     &expected.course};
        *expectedFields[given] = worked[given];
        EXPECT_EQ(fix, expected);
    }
}

TEST(RmcParser, BadFieldOfANullOutputStillFailsTheSentence) {
    double longitude = kUntouched;
    double speed = kUntouched;
    EXPECT_FALSE(ParseGPRMC(rmc({.latitude = "3412.50000000"}).c_str(), nullptr, &longitude, &speed,
                            nullptr));
    EXPECT_EQ(longitude, 0);
    EXPECT_EQ(speed, 0);
}

// ---------------------------------------------------------------------------
// Numbers are read with '.' whatever the process locale says.

// Switches LC_NUMERIC to a locale whose decimal point is a comma, building a
// private copy of de_DE.UTF-8 with localedef when the system has none.
class DecimalCommaLocale {
public:
    DecimalCommaLocale() {
        const char* current = std::setlocale(LC_NUMERIC, nullptr);
        saved_ = current != nullptr ? current : "C";
        if (tryLocales()) {
            return;
        }
        if (!std::filesystem::exists("/usr/share/i18n/locales/de_DE")) {
            return;
        }
        char pattern[] = "/tmp/vardo-locale-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return;
        }
        privateDir_ = pattern;
        const std::string command =
            "localedef -i de_DE -f UTF-8 '" + privateDir_ + "/de_DE.UTF-8' >/dev/null 2>&1";
        if (std::system(command.c_str()) == 0) {
            setenv("LOCPATH", privateDir_.c_str(), 1);
            tryLocales();
        }
    }
    ~DecimalCommaLocale() {
        std::setlocale(LC_NUMERIC, saved_.c_str());
        if (!privateDir_.empty()) {
            unsetenv("LOCPATH");
            std::error_code ignored;
            std::filesystem::remove_all(privateDir_, ignored);
        }
    }
    bool active() const { return active_; }

private:
    bool tryLocales() {
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"}) {
            if (std::setlocale(LC_NUMERIC, name) != nullptr) {
                // Make sure the C library now really reads "0,5" as a half.
                active_ = std::strtod("0,5", nullptr) == 0.5;
                if (active_) {
                    return true;
                }
            }
        }
        return false;
    }

    std::string saved_;
    std::string privateDir_;
    bool active_ = false;
};

TEST(RmcParser, DecimalCommaLocaleReadsTheSameFix) {
    DecimalCommaLocale locale;
    if (!locale.active()) {
        GTEST_SKIP() << "no locale with a decimal comma here, and localedef could not build one";
    }
    EXPECT_EQ(parse(kWorkedExample), (Result{true, kWorkedFix}));
    EXPECT_EQ(parse(kX7), (Result{true, kX7Fix}));
}

}  // namespace
