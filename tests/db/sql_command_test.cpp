#include "db/sql_command.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <random>
#include <regex>
#include <set>
#include <vector>

#include "db/procedures.h"

namespace {

using namespace std::chrono;

const std::string kRmc = "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D";

struct TextCase {
    const char* what;
    db::SqlCommand command;
    std::string expected;
};

TEST(SqlCommandText, RendersTheStatementsExactly) {
    const TextCase cases[] = {
        {"online", db::MakeOnlineEvent("X7"), "EXEC EVENT_UPDATE @DeviceName='X7',@EventTypeID=6"},
        {"offline", db::MakeOfflineEvent("X7"),
         "EXEC EVENT_UPDATE @DeviceName='X7',@EventTypeID=7"},
        {"fix", db::MakeGpsFix("X7", {25.0520566667, 121.67613, 18.52, 90.0}, kRmc),
         "EXEC GPS_ADD 'X7',25.052057,121.676130,18,90,'" + kRmc + "'"},
        {"no fix", db::MakeGpsFix("X7", {0, 0, 0, 0}, ""),
         "EXEC GPS_ADD 'X7',0.000000,0.000000,0,0,''"},
        {"south-west", db::MakeGpsFix("S1", {-33.8688197, -151.2092961, 0.4, 359.9}, "x"),
         "EXEC GPS_ADD 'S1',-33.868820,-151.209296,0,359,'x'"},
        {"quotes doubled", db::MakeOnlineEvent("O'Brien''s"),
         "EXEC EVENT_UPDATE @DeviceName='O''Brien''''s',@EventTypeID=6"},
        {"quote in sentence", db::MakeGpsFix("a'; DROP TABLE devices; --", {1, 2, 3, 4}, "'"),
         "EXEC GPS_ADD 'a''; DROP TABLE devices; --',1.000000,2.000000,3,4,''''"},
        {"utf-8 kept", db::MakeOfflineEvent("車輛-七號🚚"),
         "EXEC EVENT_UPDATE @DeviceName='車輛-七號🚚',@EventTypeID=7"},
        {"not finite as zero",
         db::MakeGpsFix("N", {std::nan(""), std::numeric_limits<double>::infinity(), 1, 1}, ""),
         "EXEC GPS_ADD 'N',0.000000,0.000000,1,1,''"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.command.text(), c.expected) << c.what;
    }
}

TEST(SqlCommandText, HasNoLengthLimit) {
    const std::string name(5000, 'n');
    const std::string sentence(20000, 's');
    const auto text = db::MakeGpsFix(name, {1, 2, 3, 4}, sentence).text();
    EXPECT_NE(text.find(name), std::string::npos);
    EXPECT_NE(text.find(sentence), std::string::npos);
}

TEST(SqlCommandText, RendersGenericCommandsWithTheirNamesAndTypes) {
    db::SqlCommand c("MY_PROC",
                     {{"A", std::string("x")}, {{}, std::int64_t{-5}}, {"C", -0.0000004}});
    EXPECT_EQ(c.text(), "EXEC MY_PROC @A='x',-5,@C=-0.000000");
    EXPECT_EQ(db::SqlCommand("NOARGS", {}).text(), "EXEC NOARGS");
}

TEST(SqlCommandBuilders, TruncateSpeedAndCourseTowardZeroWithinInt32) {
    const struct {
        double in;
        std::int32_t out;
    } cases[] = {
        {18.52, 18},
        {90.0, 90},
        {89.999, 89},
        {-0.9, 0},
        {-1.5, -1},
        {2147483647.9, 2147483647},
        {1e20, std::numeric_limits<std::int32_t>::max()},
        {-1e20, std::numeric_limits<std::int32_t>::min()},
        {std::numeric_limits<double>::infinity(), std::numeric_limits<std::int32_t>::max()},
        {std::nan(""), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(db::TruncateToInt32(c.in), c.out) << c.in;
        const auto cmd = db::MakeGpsFix("X", {0, 0, c.in, c.in}, "");
        EXPECT_EQ(std::get<std::int64_t>(cmd.params()[3].value), c.out) << c.in;
        EXPECT_EQ(std::get<std::int64_t>(cmd.params()[4].value), c.out) << c.in;
    }
}

// Backends bind the values; they must store what the text says.
TEST(SqlCommandBuilders, BoundCoordinatesAreWhatTheTextShows) {
    const struct {
        double in;
        double bound;
    } cases[] = {
        {25 + 3.1234 / 60.0, 25.052057},
        {121 + 40.5678 / 60.0, 121.67613},
        {-(34 + 12.5 / 60.0), -34.208333},
        {-33.86881949999, -33.868819},
        {0.00000051, 0.000001},
        {180, 180},
    };
    for (const auto& c : cases) {
        const auto cmd = db::MakeGpsFix("X", {c.in, c.in, 0, 0}, "");
        EXPECT_EQ(std::get<double>(cmd.params()[1].value), c.bound) << c.in;
        EXPECT_EQ(std::get<double>(cmd.params()[2].value), c.bound) << c.in;
        EXPECT_EQ(db::FormatReal6(std::get<double>(cmd.params()[1].value)), db::FormatReal6(c.in));
    }
}

// The bound coordinate is computed without printing it; it must still be,
// bit for bit, the six-decimal text read back: around every millionth, on
// exact halves (which go to the even millionth, as the text does), signed
// zeros, the tiny and the values too large for the exact path.
TEST(SqlCommandBuilders, BoundCoordinatesEqualTheirTextReadBack) {
    auto readBack = [](double v) {
        const std::string text = db::FormatReal6(v);
        double shown = 0;
        std::from_chars(text.data(), text.data() + text.size(), shown);
        return shown;
    };
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.0078125,  // 7812.5 millionths exactly: to even, down
                                  0.0234375,  // 23437.5: to even, up
                                  -0.0078125,
                                  15625.0 / 2e6 * 3,
                                  0.0000005,
                                  -0.0000005,
                                  0.00000049999999,
                                  5e-324,
                                  -1e-300,
                                  1e-7,
                                  9007199254.740991,
                                  9007199254.740993,
                                  -9007199254.75,
                                  1e15,
                                  -1.7976931348623157e308,
                                  179.9999995,
                                  -180.0000005,
                                  89.99999949999999};
    std::mt19937_64 random(20261210);
    std::uniform_real_distribution<double> degrees(-180.0, 180.0);
    std::uniform_int_distribution<std::int64_t> micros(-180'000'000, 180'000'000);
    for (int i = 0; i < 100'000; ++i) {
        values.push_back(degrees(random));
        // Just around a millionth and its halves, where a rounding would slip.
        const double m = static_cast<double>(micros(random)) / 1e6;
        const double h = (static_cast<double>(micros(random)) + 0.5) / 1e6;
        for (double near : {m, h}) {
            values.push_back(near);
            values.push_back(std::nextafter(near, 1e9));
            values.push_back(std::nextafter(near, -1e9));
        }
    }
    for (int k = 0; k < 40; ++k) {  // exact halves of every size
        const double half = std::ldexp(15625.0, -7 + k % 20) * (2 * k + 1);
        values.push_back(half);
        values.push_back(-half);
    }
    int wrong = 0;
    for (const double v : values) {
        const auto cmd = db::MakeGpsFix("X", {v, -v, 0, 0}, "");
        const double lat = std::get<double>(cmd.params()[1].value);
        const double lon = std::get<double>(cmd.params()[2].value);
        const bool same =
            std::bit_cast<std::uint64_t>(lat) == std::bit_cast<std::uint64_t>(readBack(v)) &&
            std::bit_cast<std::uint64_t>(lon) == std::bit_cast<std::uint64_t>(readBack(-v));
        if (!same && ++wrong <= 10) {
            ADD_FAILURE() << std::setprecision(17) << v << ": " << lat << " / " << lon
                          << ", the text says " << db::FormatReal6(v);
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST(SqlCommandBuilders, KeepTheInjectedBuildTime) {
    const auto t = sys_days{2020y / February / 29} + 12h + 34min + 56s + 789ms;
    EXPECT_EQ(db::MakeOnlineEvent("X7", t).builtAt(), t);
    EXPECT_EQ(db::MakeGpsFix("X7", {1, 2, 3, 4}, "", t).builtAt(), t);
    EXPECT_EQ(db::FormatUtcMillis(t), "2020-02-29 12:34:56.789");
    EXPECT_EQ(db::FormatUtcMillis(sys_days{1970y / January / 1} + 5ms), "1970-01-01 00:00:00.005");
    // Sub-millisecond parts are cut, not rounded up into the next second.
    EXPECT_EQ(db::FormatUtcMillis(sys_days{2026y / December / 31} + 23h + 59min + 59s + 999999us),
              "2026-12-31 23:59:59.999");
    // Every field at its narrowest and widest, at the ends of the clock's
    // range (a damaged journal record may carry any time in it).
    EXPECT_EQ(db::FormatUtcMillis(sys_days{1700y / January / 2} + 3h + 4min + 5s + 6ms),
              "1700-01-02 03:04:05.006");
    EXPECT_EQ(db::FormatUtcMillis(sys_days{2262y / April / 10} + 10h + 10min + 10s + 10ms),
              "2262-04-10 10:10:10.010");
}

TEST(StatementIds, AreUniqueWellFormedAndTravelWithCopies) {
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 20000; ++i) {
        const auto id = db::StatementId::New();
        ASSERT_FALSE(id.isNil());
        const auto text = id.text();
        ASSERT_TRUE(std::regex_match(text, uuid)) << text;
        ASSERT_TRUE(seen.insert(text).second) << "repeated " << text;
    }
    const auto a = db::MakeOnlineEvent("X7");
    const auto b = db::MakeOnlineEvent("X7");
    EXPECT_NE(a.id(), b.id());
    const db::SqlCommand copy = a;
    EXPECT_EQ(copy.id(), a.id());
    EXPECT_EQ(db::StatementId().text(), "00000000-0000-0000-0000-000000000000");
}

TEST(StatementIds, OfAnEventAreTheSameEveryTimeAndApartFromEveryOther) {
    using Part = db::StatementId::EventPart;
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-8[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    constexpr std::uint64_t kMax = (std::uint64_t{1} << 53) - 1;
    std::set<std::string> seen;
    for (const std::uint64_t epoch : {std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{33},
                                      std::uint64_t{0x123456789ABCD}, kMax}) {
        for (const std::uint64_t seq : {std::uint64_t{1}, std::uint64_t{2}, kMax}) {
            for (const Part part : {Part::Fix, Part::Online, Part::Offline}) {
                const auto id = db::StatementId::ForEvent(epoch, seq, part);
                EXPECT_EQ(id, db::StatementId::ForEvent(epoch, seq, part));
                ASSERT_TRUE(std::regex_match(id.text(), uuid)) << id.text();
                EXPECT_TRUE(seen.insert(id.text()).second) << epoch << " " << seq;
            }
        }
    }
    // A fresh id is of another version, so the two never meet.
    EXPECT_EQ(seen.count(db::StatementId::New().text()), 0u);
    const auto fix =
        db::MakeGpsFix("X7", {}, "", db::Clock::now(), db::StatementId::ForEvent(5, 6, Part::Fix));
    EXPECT_EQ(fix.id(), db::StatementId::ForEvent(5, 6, Part::Fix));
}

TEST(ProcedureCheck, AcceptsTheBuildersAndRefusesMalformedCalls) {
    std::string error;
    EXPECT_NE(db::CheckCommand(db::MakeOnlineEvent("X"), error), nullptr) << error;
    EXPECT_NE(db::CheckCommand(db::MakeGpsFix("X", {1, 2, 3, 4}, "s"), error), nullptr) << error;
    EXPECT_NE(db::CheckCommand(db::SqlCommand("gps_add", {{{}, std::string("X")},
                                                          {{}, std::int64_t{25}},
                                                          {{}, 121.5},
                                                          {{}, std::int64_t{1}},
                                                          {{}, std::int64_t{2}},
                                                          {{}, std::string()}}),
                               error),
              nullptr)
        << "a lower-case name and an integer where a real goes are fine: " << error;

    const struct {
        const char* what;
        db::SqlCommand command;
        const char* mentions;
    } bad[] = {
        {"unknown", db::SqlCommand("DROP_ALL", {}), "unknown procedure"},
        {"injected name", db::SqlCommand("GPS_ADD; DELETE FROM devices", {}), "unknown procedure"},
        {"too few", db::SqlCommand("EVENT_UPDATE", {{{}, std::string("X")}}), "takes 2"},
        {"text for integer",
         db::SqlCommand("EVENT_UPDATE", {{{}, std::string("X")}, {{}, std::string("6")}}),
         "parameter 2"},
        {"real for integer", db::SqlCommand("EVENT_UPDATE", {{{}, std::string("X")}, {{}, 6.0}}),
         "parameter 2"},
        {"past 32 bits",
         db::SqlCommand("EVENT_UPDATE", {{{}, std::string("X")}, {{}, std::int64_t{1} << 40}}),
         "32 bits"},
        {"integer for text",
         db::SqlCommand("EVENT_UPDATE", {{{}, std::int64_t{1}}, {{}, std::int64_t{6}}}),
         "parameter 1"},
    };
    for (const auto& b : bad) {
        error.clear();
        EXPECT_EQ(db::CheckCommand(b.command, error), nullptr) << b.what;
        EXPECT_NE(error.find(b.mentions), std::string::npos) << b.what << ": " << error;
    }
}

}  // namespace
