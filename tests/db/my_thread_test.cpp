#include "db/my_thread.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/db/test_store.h"

namespace {

// Counts its runs; each run sleeps in slices until stopped.
class Sleeper : public CMyThread {
public:
    ~Sleeper() override { Stop(1000); }
    std::atomic<int> runs{0};
    std::atomic<int> fullSleeps{0};
    std::atomic<bool> interrupted{false};
    std::uint32_t sliceMs = 3600 * 1000;

protected:
    void Run() override {
        ++runs;
        while (m_bRun) {
            if (SleepWhileRunning(sliceMs)) {
                ++fullSleeps;
            } else {
                interrupted = true;
            }
        }
    }
};

class Thrower : public CMyThread {
public:
    ~Thrower() override { Stop(1000); }
    std::atomic<int> throws{0};

protected:
    void Run() override {
        ++throws;
        throw std::runtime_error("boom");
    }
};

TEST(MyThread, StopWithoutAThreadOnlyClearsTheFlagAndMayRepeat) {
    Sleeper t;
    t.Stop(10000);
    t.Stop(0);
    EXPECT_FALSE(t.IsRunning());
    EXPECT_FALSE(t.HasThread());
    EXPECT_EQ(t.runs, 0);
}

TEST(MyThread, StopEndsAnHourLongSleepAndJoins) {
    Sleeper t;
    ASSERT_TRUE(t.Start());
    EXPECT_TRUE(t.IsRunning());
    ASSERT_TRUE(dbtest::WaitUntil([&] { return t.runs == 1; }));
    t.Stop(10000);  // would hang here for an hour if the sleep ignored the stop
    EXPECT_FALSE(t.IsRunning());
    EXPECT_FALSE(t.HasThread());
    EXPECT_TRUE(t.interrupted);
    EXPECT_EQ(t.fullSleeps, 0);
    t.Stop(10000);
}

TEST(MyThread, SecondStartWhileRunningStartsNoSecondThread) {
    Sleeper t;
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(dbtest::WaitUntil([&] { return t.runs == 1; }));
    EXPECT_TRUE(t.Start());
    t.Stop(10000);
    EXPECT_EQ(t.runs, 1);

    ASSERT_TRUE(t.Start()) << "a stopped thread object starts again";
    t.Stop(10000);
    EXPECT_EQ(t.runs, 2);
}

TEST(MyThread, SleepWhileRunningReturnsAtOnceWhenStoppedOrForZero) {
    Sleeper t;
    EXPECT_FALSE(t.SleepWhileRunning(3600 * 1000)) << "not running: returns at once";
    t.sliceMs = 0;
    ASSERT_TRUE(t.Start());
    EXPECT_TRUE(dbtest::WaitUntil([&] { return t.fullSleeps > 0; }))
        << "a zero sleep while running counts as a full one";
    t.Stop(10000);
}

TEST(MyThread, AnExceptionInRunEndsTheThreadWithoutCrashing) {
    Thrower t;
    ASSERT_TRUE(t.Start());
    ASSERT_TRUE(dbtest::WaitUntil([&] { return t.throws == 1; }));
    // The thread that ended on its own counts as ended: a start runs anew.
    ASSERT_TRUE(dbtest::WaitUntil([&] {
        t.Start();
        return t.throws >= 2;
    }));
    t.Stop(10000);
    EXPECT_FALSE(t.HasThread());
}

}  // namespace
