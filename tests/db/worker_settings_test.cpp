// The two Config.ini settings of grouping, as the worker reads them.
#include <gtest/gtest.h>

#include "db/db_worker.h"

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

}  // namespace
