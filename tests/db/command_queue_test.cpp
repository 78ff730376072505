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

}  // namespace
