// The wait that lets a batch gather: long enough for a thin steady stream to
// fill it, never past its bounds, and the shortest for a stream too heavy to
// need more or too sparse for waiting to help.

#include "net/batch_pace.h"

#include <gtest/gtest.h>

#include <chrono>

namespace net {
namespace {

using namespace std::chrono_literals;

// 25 ms at least, 100 ms at most, 64 items wanted, worth waiting for once
// the longest wait brings 8.
BatchPace SyncPace() {
    return BatchPace({25ms, 100ms, 64, 8});
}

// Feeds a steady stream of `perSecond` items, in batches `every` apart, for
// `seconds`; the last wait.
std::chrono::microseconds Steady(BatchPace& pace, double perSecond, std::chrono::microseconds every,
                                 double seconds = 5) {
    std::chrono::microseconds wait{0};
    const double batch = perSecond * std::chrono::duration<double>(every).count();
    for (double t = 0; t < seconds; t += std::chrono::duration<double>(every).count()) {
        wait = pace.next(static_cast<std::size_t>(batch + 0.5), every);
    }
    return wait;
}

TEST(BatchPace, AThinSteadyStreamWaitsForTheBatchToFillUpToTheLongest) {
    {
        // A thousand terminals every 10 s: 100 a second would fill a batch
        // in 640 ms; the longest wait is what it gets.
        BatchPace pace = SyncPace();
        EXPECT_EQ(Steady(pace, 100, 100ms), 100ms);
        EXPECT_NEAR(pace.rate(), 100, 1);
    }
    {
        // A thousand a second fill it in 64 ms.
        BatchPace pace = SyncPace();
        EXPECT_NEAR(Steady(pace, 1000, 64ms).count(), 64000, 1000);
    }
}

TEST(BatchPace, AHeavyStreamOrATrickleGetsTheShortest) {
    {
        BatchPace pace = SyncPace();
        EXPECT_EQ(Steady(pace, 10000, 25ms), 25ms);
    }
    {
        // A lone terminal sending stored positions, each after the last's
        // answer: 40 a second bring 4 in the longest wait, not worth it.
        BatchPace pace = SyncPace();
        EXPECT_EQ(Steady(pace, 40, 25ms), 25ms);
    }
    {
        BatchPace pace = SyncPace();
        EXPECT_EQ(pace.next(0, 0ns), 25ms);  // nothing yet, no time: no division by zero
        EXPECT_EQ(pace.next(5, 0ns), 25ms);
        EXPECT_EQ(pace.next(0, 10s), 25ms);
    }
}

TEST(BatchPace, TheWaitFollowsAFallingStreamWithinASecondAndARisingOneAtOnce) {
    BatchPace pace = SyncPace();
    EXPECT_EQ(Steady(pace, 100, 100ms), 100ms);
    // The fleet grows tenfold: the wait shortens to fill the same batch.
    EXPECT_NEAR(Steady(pace, 1000, 64ms, 3).count(), 64000, 3000);
    // It stops, and starts again at full strength after a quiet spell: the
    // first few tenths of a second wait less than the longest, then the
    // shortest.
    EXPECT_EQ(pace.next(0, 10s), 25ms);
    EXPECT_LT(Steady(pace, 10000, 25ms, 0.1), 100ms);
    EXPECT_EQ(Steady(pace, 10000, 25ms, 0.3), 25ms);
    EXPECT_NEAR(Steady(pace, 1000, 64ms, 8).count(), 64000, 3000);
    // And it stops: after a quiet second the next batch is not held back.
    EXPECT_EQ(pace.next(0, 1s), 100ms);
    EXPECT_EQ(pace.next(1, 2s), 25ms);
}

TEST(BatchPace, BoundsThatLeaveNoRoomKeepTheShortest) {
    BatchPace fixed({10ms, 10ms, 64, 1});
    EXPECT_EQ(Steady(fixed, 100, 10ms), 10ms);
    BatchPace none({0us, 0us, 64, 1});
    EXPECT_EQ(Steady(none, 100, 10ms), 0us);
}

}  // namespace
}  // namespace net
