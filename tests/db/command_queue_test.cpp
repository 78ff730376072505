#include "db/command_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

db::SqlCommand Named(const std::string& name) {
    return db::MakeOnlineEvent(name);
}

std::string NameOf(const db::SqlCommand& c) {
    return std::get<std::string>(c.params()[0].value);
}

// Takes the front statement and settles it at once, as a worker that ran it
// would; false (out unchanged) when nothing waits.
bool TakeOne(CMyCommandQueue& q, db::SqlCommand& out) {
    std::vector<db::SqlCommand> taken;
    if (q.Take(taken, 1) == 0) {
        return false;
    }
    out = std::move(taken.front());
    q.Settle(1);
    return true;
}

// The same, waiting as the worker does.
bool WaitTakeOne(CMyCommandQueue& q, db::SqlCommand& out, const std::atomic<bool>& run) {
    std::vector<db::SqlCommand> taken;
    if (q.WaitTake(taken, 1, run) == 0) {
        return false;
    }
    out = std::move(taken.front());
    q.Settle(1);
    return true;
}

TEST(CommandQueue, GivesStatementsBackInPushOrder) {
    CMyCommandQueue q;
    for (int i = 0; i < 100; ++i) {
        q.Push(Named(std::to_string(i)));
    }
    db::SqlCommand c;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(TakeOne(q, c));
        EXPECT_EQ(NameOf(c), std::to_string(i));
    }
    const auto before = c.id();
    EXPECT_FALSE(TakeOne(q, c));
    EXPECT_EQ(c.id(), before) << "an empty take leaves the out argument alone";
    EXPECT_EQ(q.PushedCount(), 100u);
}

TEST(CommandQueue, DropsTheOldestPastItsBoundAndCountsThem) {
    CMyCommandQueue q(3);
    for (int i = 1; i <= 5; ++i) {
        q.Push(Named(std::to_string(i)));
    }
    EXPECT_EQ(q.Size(), 3u);
    EXPECT_EQ(q.DroppedCount(), 2u);
    db::SqlCommand c;
    for (const char* expected : {"3", "4", "5"}) {
        ASSERT_TRUE(TakeOne(q, c));
        EXPECT_EQ(NameOf(c), expected);
    }

    for (int i = 0; i < 5; ++i) {
        q.Push(Named("again"));
    }
    q.SetMaxSize(2);
    EXPECT_EQ(q.Size(), 2u);
    EXPECT_EQ(q.DroppedCount(), 5u);
    EXPECT_EQ(CMyCommandQueue().MaxSize(), 1'000'000u);
}

TEST(CommandQueue, ClearDiscardsAndCountsAndPutBackComesFirst) {
    CMyCommandQueue q;
    q.Push(Named("a"));
    q.Push(Named("b"));
    std::vector<db::SqlCommand> taken;
    ASSERT_EQ(q.Take(taken, 1), 1u);
    q.PutBack(taken);
    db::SqlCommand c;
    ASSERT_TRUE(TakeOne(q, c));
    EXPECT_EQ(NameOf(c), "a");
    EXPECT_EQ(q.PushedCount(), 2u) << "a statement put back is not pushed twice";

    q.Push(Named("c"));
    EXPECT_EQ(q.Clear(), 2u);
    EXPECT_EQ(q.Clear(), 0u);
    EXPECT_EQ(q.DiscardedCount(), 2u);
    EXPECT_FALSE(TakeOne(q, c));
}

TEST(CommandQueue, WaitTakeWakesForAPushFromAnotherThread) {
    CMyCommandQueue q;
    std::atomic<bool> run{true};
    db::SqlCommand got;
    bool ok = false;
    std::thread waiter([&] { ok = WaitTakeOne(q, got, run); });
    q.Push(Named("late"));
    waiter.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(NameOf(got), "late");
}

TEST(CommandQueue, WaitTakeEndsWhenItsFlagIsClearedAndWoken) {
    CMyCommandQueue q;
    std::atomic<bool> run{true};
    db::SqlCommand got;
    bool ok = true;
    std::thread waiter([&] { ok = WaitTakeOne(q, got, run); });
    run = false;
    q.WakeAll();
    waiter.join();
    EXPECT_FALSE(ok);

    q.Push(Named("queued"));
    EXPECT_TRUE(WaitTakeOne(q, got, run)) << "a queued statement is still handed out";
}

TEST(CommandQueue, TakenStatementsStayPendingUntilSettledAndCountAgainstTheBound) {
    CMyCommandQueue q(5);
    for (int i = 0; i < 4; ++i) {
        q.Push(Named(std::to_string(i)));
    }
    std::vector<db::SqlCommand> hand;
    EXPECT_EQ(q.Take(hand, 3), 3u);
    EXPECT_EQ(q.Size(), 1u);
    EXPECT_EQ(q.InFlight(), 3u);
    EXPECT_EQ(q.Pending(), 4u);

    // Past the bound only waiting statements go, oldest first: those in
    // flight are inside a transaction.
    q.Push(Named("4"));
    q.Push(Named("5"));
    EXPECT_EQ(q.DroppedCount(), 1u);
    db::SqlCommand c;
    ASSERT_TRUE(TakeOne(q, c));
    EXPECT_EQ(NameOf(c), "4");

    q.Settle(2);
    EXPECT_EQ(q.InFlight(), 1u);
    q.Settle(5);
    EXPECT_EQ(q.InFlight(), 0u) << "settling more than is in flight cannot wrap";
    EXPECT_EQ(q.Take(hand, 10), 1u);
    EXPECT_EQ(NameOf(hand.back()), "5");
    EXPECT_EQ(q.Take(hand, 10), 0u);
}

TEST(CommandQueue, PutBackRestoresTakenStatementsAtTheFrontInTheirOrder) {
    CMyCommandQueue q;
    for (const char* name : {"a", "b", "c", "d"}) {
        q.Push(Named(name));
    }
    std::vector<db::SqlCommand> hand;
    ASSERT_EQ(q.Take(hand, 2), 2u);
    q.Push(Named("e"));
    q.PutBack(hand);
    EXPECT_TRUE(hand.empty());
    EXPECT_EQ(q.InFlight(), 0u);
    EXPECT_EQ(q.PushedCount(), 5u) << "put back, not pushed again";
    std::string order;
    db::SqlCommand c;
    while (TakeOne(q, c)) {
        order += NameOf(c);
    }
    EXPECT_EQ(order, "abcde");
}

TEST(CommandQueue, WaitTakeTakesWhatIsThereUpToItsLimit) {
    CMyCommandQueue q;
    std::atomic<bool> run{true};
    std::vector<db::SqlCommand> hand;
    std::size_t taken = 0;
    std::thread waiter([&] { taken = q.WaitTake(hand, 2, run); });
    q.Push(Named("first"));
    waiter.join();
    ASSERT_EQ(taken, 1u) << "one waiting statement is taken alone, without waiting for more";
    EXPECT_EQ(NameOf(hand[0]), "first");

    for (int i = 0; i < 3; ++i) {
        q.Push(Named(std::to_string(i)));
    }
    EXPECT_EQ(q.WaitTake(hand, 2, run), 2u);
    run = false;
    EXPECT_EQ(q.WaitTake(hand, 2, run), 1u) << "a queued statement is still handed out";
    EXPECT_EQ(q.WaitTake(hand, 2, run), 0u);
    EXPECT_EQ(hand.size(), 4u);
}

}  // namespace
