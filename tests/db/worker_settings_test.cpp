// The Config.ini settings of the worker: grouping, setting statements aside,
// and how long fixes are kept.
#include <gtest/gtest.h>

#include "db/db_worker.h"
#include "db/fix_upkeep.h"

namespace {

TEST(GroupSettings, ReadTheSwitchAndTheSizeOrKeepTheDefaultsWithAWarning) {
    const struct {
        const char* groupCommit;
        const char* groupSize;
        bool on;
        std::size_t size;
        const char* warning;  // empty: none
    } cases[] = {
        {"", "", true, 512, ""},
        {"1", "64", true, 64, ""},
        {" 0 ", "64", false, 64, ""},
        {"Off", "", false, 512, ""},
        {"TRUE", "1", true, 1, ""},
        {"no", " 2048\r", false, 2048, ""},
        {"yes", "65536", true, 65536, ""},
        {"", "65537", true, 65536, ""},  // cut to the largest
        {"", "99999999999999999999999", true, 65536, ""},
        {"maybe", "", true, 512, "EventServer_GroupCommit: 'maybe'"},
        {"", "0", true, 512, "EventServer_GroupSize: '0'"},
        {"", "-5", true, 512, "EventServer_GroupSize: '-5'"},
        {"", "12abc", true, 512, "EventServer_GroupSize: '12abc'"},
        {"", "1e3", true, 512, "EventServer_GroupSize: '1e3'"},
        {"2", "x", true, 512,
         "EventServer_GroupCommit: '2' is neither 1 nor 0; statements are "
         "grouped; EventServer_GroupSize: 'x'"},
    };
    for (const auto& c : cases) {
        db::WorkerOptions options;
        options.groupCommit = !c.on;  // every case sets both
        options.groupSize = 7;
        options.openTimeoutSeconds = 3;
        const std::string warning = db::ApplyGroupSettings(c.groupCommit, c.groupSize, options);
        const std::string what = std::string("'") + c.groupCommit + "', '" + c.groupSize + "'";
        EXPECT_EQ(options.groupCommit, c.on) << what;
        EXPECT_EQ(options.groupSize, c.size) << what;
        EXPECT_EQ(options.openTimeoutSeconds, 3) << what << ": the other options stay";
        if (*c.warning == '\0') {
            EXPECT_EQ(warning, "") << what;
        } else {
            EXPECT_EQ(warning.rfind(c.warning, 0), 0u) << what << ": " << warning;
        }
    }
}

TEST(StatementAttempts, ReadANumberOrKeepFiveWithAWarning) {
    const struct {
        const char* text;
        std::size_t attempts;
        bool warned;
    } cases[] = {{"", 5, false},    {"3", 3, false}, {" 0 ", 0, false}, {"1000", 1000, false},
                 {"1001", 5, true}, {"-1", 5, true}, {"x", 5, true},    {"2.5", 5, true}};
    for (const auto& c : cases) {
        db::WorkerOptions options;
        const std::string warning = db::ApplyStatementAttempts(c.text, options);
        EXPECT_EQ(options.statementAttempts, c.attempts) << c.text;
        EXPECT_EQ(warning.find("EventServer_StatementAttempts") != std::string::npos, c.warned)
            << c.text << ": " << warning;
    }
}

TEST(FixRetentionSetting, ReadsDaysOrKeepsEveryFixWithAWarning) {
    const struct {
        const char* text;
        int days;
        bool warns;
    } cases[] = {
        {"", 0, false},          {" 90 ", 90, false}, {"0", 0, false},
        {"36500", 36500, false}, {"36501", 0, true},  {"-1", 0, true},
        {"7d", 0, true},         {"ninety", 0, true}, {"99999999999", 0, true},
    };
    for (const auto& c : cases) {
        int days = 5;
        const std::string warning = db::ReadFixRetentionDays(c.text, days);
        EXPECT_EQ(days, c.days) << c.text;
        EXPECT_EQ(!warning.empty(), c.warns) << c.text << ": " << warning;
        if (c.warns) {
            EXPECT_NE(warning.find("EventServer_FixRetentionDays"), std::string::npos) << warning;
        }
    }
    EXPECT_EQ(db::FixCutoffText(std::chrono::sys_days{std::chrono::year{2024} / 3 / 1}, 1),
              "2024-02-29 00:00:00.000");
}

}  // namespace
