// The service's log lines never carry a password.

#include "app/service_log.h"

#include <gtest/gtest.h>

namespace {

TEST(ServiceLog, LinesSayWhatHappenedWithoutThePassword) {
    EXPECT_EQ(app::StartedLine({"host=db password=x dbname=v", "center", 24680, 24681, "root"}),
              "service started: db=host=db password=*** dbname=v center=center:24680/24681 "
              "user=root");
    EXPECT_EQ(app::StoppedLine({{10, 7, 1, 0, 2, 2}}),
              "service stopped: queued=10 executed=7 rejected=1 dropped=0 retried=2 discarded=2");
    EXPECT_EQ(app::StartFailedLine("can't connect database:User ID=sa;Password=nobe274",
                                   "login failed for sa (Password=nobe274)"),
              "service start failed: can't connect database:User ID=sa;Password=*** "
              "(login failed for sa (Password=***)");
}

// The stop line and the status line count this run only, though the worker
// counts from the program's start; what waits now is no total to subtract.
TEST(ServiceLog, TheStopLineCountsOnlyThisRun) {
    db::WorkerCounters atStart;
    atStart.queued = 5;
    atStart.executed = 4;
    atStart.rejected = 1;
    atStart.discarded = 3;
    atStart.pending = 4;
    atStart.commits = 2;
    atStart.kept = 3;
    db::WorkerCounters now = atStart;
    now.queued += 10;
    now.executed += 7;
    now.retried = 2;
    now.pending = 1;
    now.commits += 6;
    now.replayed = 3;
    const db::WorkerCounters run = db::CountedSince(atStart, now);
    EXPECT_EQ(run.pending, 1u);
    EXPECT_EQ(run.commits, 6u);
    EXPECT_EQ(run.kept, 0u);
    EXPECT_EQ(run.replayed, 3u);
    EXPECT_EQ(app::StoppedLine({run, true, 3}),
              "service stopped: queued=10 executed=7 rejected=0 dropped=0 retried=2 discarded=0 "
              "waiting=3");
}

}  // namespace
