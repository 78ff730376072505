#include "center/waiting_answers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace center {
namespace {

struct FakeSession {
    std::string name;
};

using Answers = WaitingAnswers<FakeSession, int>;

std::vector<std::string> sendUpTo(Answers& answers, std::uint64_t seq) {
    std::vector<std::string> sent;
    answers.durable(seq, [&](FakeSession& s, int answer) {
        sent.push_back(s.name + ":" + std::to_string(answer));
    });
    return sent;
}

TEST(WaitingAnswers, GoOutOnceTheirEventIsDurableInTheOrderTheyCame) {
    Answers answers;
    auto a = std::make_shared<FakeSession>(FakeSession{"a"});
    auto b = std::make_shared<FakeSession>(FakeSession{"b"});
    answers.wait(1, a, 1);
    answers.wait(2, b, 1);
    answers.wait(2, a, 2);  // two answers waiting for the same event
    answers.wait(4, b, 2);
    EXPECT_TRUE(sendUpTo(answers, 0).empty());
    EXPECT_EQ(sendUpTo(answers, 1), (std::vector<std::string>{"a:1"}));
    EXPECT_EQ(sendUpTo(answers, 3), (std::vector<std::string>{"b:1", "a:2"}));
    EXPECT_EQ(answers.size(), 1u);
    EXPECT_EQ(sendUpTo(answers, 4), (std::vector<std::string>{"b:2"}));
    EXPECT_EQ(answers.size(), 0u);
    EXPECT_TRUE(sendUpTo(answers, 10).empty());
}

TEST(WaitingAnswers, OneWaitingForAnEarlierEventGoesBeforeTheLaterOnes) {
    Answers answers;
    auto a = std::make_shared<FakeSession>(FakeSession{"a"});
    answers.wait(5, a, 1);
    answers.wait(7, a, 2);
    answers.wait(3, a, 3);
    answers.wait(5, a, 4);  // after the first one waiting for 5
    answers.wait(9, a, 5);
    EXPECT_EQ(sendUpTo(answers, 5), (std::vector<std::string>{"a:3", "a:1", "a:4"}));
    EXPECT_EQ(sendUpTo(answers, 9), (std::vector<std::string>{"a:2", "a:5"}));
}

TEST(WaitingAnswers, ASessionGoneMeanwhileGetsNothingAndHoldsNothingUp) {
    Answers answers;
    auto a = std::make_shared<FakeSession>(FakeSession{"a"});
    auto b = std::make_shared<FakeSession>(FakeSession{"b"});
    answers.wait(1, a, 1);
    answers.wait(2, b, 1);
    answers.wait(3, a, 2);
    b.reset();
    EXPECT_EQ(sendUpTo(answers, 3), (std::vector<std::string>{"a:1", "a:2"}));
    EXPECT_EQ(answers.size(), 0u);
}

TEST(WaitingAnswers, AnAnswerAddedWhileSendingWaitsForItsOwnEvent) {
    Answers answers;
    auto a = std::make_shared<FakeSession>(FakeSession{"a"});
    answers.wait(1, a, 1);
    answers.wait(2, a, 2);
    std::vector<int> sent;
    answers.durable(2, [&](FakeSession& s, int answer) {
        sent.push_back(answer);
        if (answer == 1) {
            answers.wait(3, a, 3);
            EXPECT_EQ(s.name, "a");
            answers.wait(2, a, 4);  // already durable: goes in this round
        }
    });
    EXPECT_EQ(sent, (std::vector<int>{1, 2, 4}));
    EXPECT_EQ(answers.size(), 1u);
}

}  // namespace
}  // namespace center
