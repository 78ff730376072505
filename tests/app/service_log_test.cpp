// The service's log lines never carry a password.

#include "app/service_log.h"

#include <gtest/gtest.h>

namespace {

TEST(ServiceLog, LinesSayWhatHappenedWithoutThePassword) {
    EXPECT_EQ(app::StartedLine({"host=db password=x dbname=v", "center", 24680, 24681, "root"}),
              "service started: db=host=db password=*** dbname=v center=center:24680/24681 "
              "user=root");
    EXPECT_EQ(app::StoppedLine({10, 7, 1, 0, 2, 2}),
              "service stopped: queued=10 executed=7 rejected=1 dropped=0 retried=2 discarded=2");
    EXPECT_EQ(app::StartFailedLine("can't connect database:User ID=sa;Password=nobe274",
                                   "login failed for sa (Password=nobe274)"),
              "service start failed: can't connect database:User ID=sa;Password=*** "
              "(login failed for sa (Password=***)");
}

}  // namespace
