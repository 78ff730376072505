#include "db/command_queue.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

db::SqlCommand Named(const std::string& name) {
    return db::MakeOnlineEvent(name);
}

std::string NameOf(const db::SqlCommand& c) {
    return std::get<std::string>(c.params()[0].value);
}

TEST(CommandQueue, GivesStatementsBackInPushOrder) {
    CMyCommandQueue q;
    for (int i = 0; i < 100; ++i) {
        q.Push(Named(std::to_string(i)));
    }
    db::SqlCommand c;
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(q.Pop(c));
        EXPECT_EQ(NameOf(c), std::to_string(i));
    }
    const auto before = c.id();
    EXPECT_FALSE(q.Pop(c));
    EXPECT_EQ(c.id(), before) << "an empty pop leaves the out argument alone";
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
        ASSERT_TRUE(q.Pop(c));
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

TEST(CommandQueue, ClearDiscardsAndCountsAndPushFrontComesFirst) {
    CMyCommandQueue q;
    q.Push(Named("b"));
    q.PushFront(Named("a"));
    db::SqlCommand c;
    ASSERT_TRUE(q.Pop(c));
    EXPECT_EQ(NameOf(c), "a");
    EXPECT_EQ(q.PushedCount(), 1u) << "a statement put back is not pushed twice";

    q.Push(Named("c"));
    EXPECT_EQ(q.Clear(), 2u);
    EXPECT_EQ(q.Clear(), 0u);
    EXPECT_EQ(q.DiscardedCount(), 2u);
    EXPECT_FALSE(q.Pop(c));
}

TEST(CommandQueue, WaitPopWakesForAPushFromAnotherThread) {
    CMyCommandQueue q;
    std::atomic<bool> run{true};
    db::SqlCommand got;
    bool ok = false;
    std::thread waiter([&] { ok = q.WaitPop(got, run); });
    q.Push(Named("late"));
    waiter.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(NameOf(got), "late");
}

TEST(CommandQueue, WaitPopEndsWhenItsFlagIsClearedAndWoken) {
    CMyCommandQueue q;
    std::atomic<bool> run{true};
    db::SqlCommand got;
    bool ok = true;
    std::thread waiter([&] { ok = q.WaitPop(got, run); });
    run = false;
    q.WakeAll();
    waiter.join();
    EXPECT_FALSE(ok);

    q.Push(Named("queued"));
    EXPECT_TRUE(q.WaitPop(got, run)) << "a queued statement is still handed out";
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
    ASSERT_TRUE(q.Pop(c));
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
    while (q.Pop(c)) {
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
