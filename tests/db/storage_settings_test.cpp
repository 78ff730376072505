// The Config.ini settings of the journal and the queue, and the group-commit
// default that depends on the kind of connection string.
#include "db/storage_settings.h"

#include <gtest/gtest.h>

#include "db/db_worker.h"

namespace {

TEST(StorageSettings, ReadEachValueOrKeepTheDefaultWithAWarningNamingTheKey) {
    const struct {
        const char* journal;
        const char* syncMs;
        const char* maxMB;
        const char* queueLimit;
        bool on;
        long long sync;
        std::uint64_t mb;
        std::size_t limit;
        const char* warning;  // empty: none
    } cases[] = {
        {"", "", "", "", true, 100, 1024, 1'000'000, ""},
        {"0", "", "", "", false, 100, 1024, 1'000'000, ""},
        {" Off ", "5", "16", "2000", false, 5, 16, 2000, ""},
        {"yes", "60000", "1048576", "100000000", true, 60000, 1048576, 100'000'000, ""},
        {"2", "", "", "", true, 100, 1024, 1'000'000, "EventServer_Journal: '2'"},
        {"", "0", "", "", true, 100, 1024, 1'000'000, "EventServer_JournalSyncMs: '0'"},
        {"", "", "-1", "", true, 100, 1024, 1'000'000, "EventServer_JournalMaxMB: '-1'"},
        {"", "", "", "1e6", true, 100, 1024, 1'000'000, "EventServer_QueueLimit: '1e6'"},
        {"", "", "", "0", true, 100, 1024, 1'000'000, "EventServer_QueueLimit: '0'"},
        {"", "", "", "99999999999999999999", true, 100, 1024, 1'000'000, "EventServer_QueueLimit"},
    };
    for (const auto& c : cases) {
        db::StorageSettings s;
        s.queueLimit = 7;  // every case sets every value
        const std::string warning =
            db::ReadStorageSettings(c.journal, c.syncMs, c.maxMB, c.queueLimit, s);
        const std::string what = std::string("'") + c.journal + "', '" + c.syncMs + "', '" +
                                 c.maxMB + "', '" + c.queueLimit + "'";
        EXPECT_EQ(s.journal, c.on) << what;
        EXPECT_EQ(s.syncEvery.count(), c.sync) << what;
        EXPECT_EQ(s.journalMaxMB, c.mb) << what;
        EXPECT_EQ(s.queueLimit, c.limit) << what;
        if (*c.warning == '\0') {
            EXPECT_EQ(warning, "") << what;
        } else {
            EXPECT_EQ(warning.rfind(c.warning, 0), 0u) << what << ": " << warning;
        }
    }
}

TEST(GroupSettings, OdbcStringsShareACommitOnlyWhenTheSettingSaysSo) {
    for (const auto& [text, odbc] : std::initializer_list<std::pair<const char*, bool>>{
             {"", false}, {"1", true}, {"on", true}, {"0", false}, {"maybe", false}}) {
        db::WorkerOptions options;
        db::ApplyGroupSettings(text, "", options);
        EXPECT_EQ(options.groupCommitOdbc, odbc) << "'" << text << "'";
    }
}

}  // namespace
