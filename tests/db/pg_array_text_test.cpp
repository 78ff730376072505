// The array values a run of calls is bound with, and the applied flags read
// back.
#include "db/pg_array_text.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(PgArrayText, QuotesEveryElementEscapesQuotesAndBackslashesAndKeepsNulls) {
    const std::vector<const char*> values{"X7", "", nullptr, "a\"b\\c", "{1,2}", "NULL", "台北"};
    EXPECT_EQ(db::PgArrayText(values), R"({"X7","",NULL,"a\"b\\c","{1,2}","NULL","台北"})");
    EXPECT_EQ(db::PgArrayText({}), "{}");
}

TEST(PgArrayText, CountsTheOnesOfAnArrayOfExactlyTheGivenLength) {
    EXPECT_EQ(db::CountOnes("{1,0,1}", 3), 2u);
    EXPECT_EQ(db::CountOnes("{0}", 1), 0u);
    EXPECT_EQ(db::CountOnes("{}", 0), 0u);
    EXPECT_FALSE(db::CountOnes("{1,0,1}", 2));
    EXPECT_FALSE(db::CountOnes("{1,0}", 3));
    EXPECT_FALSE(db::CountOnes("{}", 1));
    EXPECT_FALSE(db::CountOnes("{1,2}", 2));
    EXPECT_FALSE(db::CountOnes("{1;0}", 2));
    EXPECT_FALSE(db::CountOnes("1,0", 2));
    EXPECT_FALSE(db::CountOnes("", 0));
    EXPECT_FALSE(db::CountOnes("{NULL}", 1));
}

}  // namespace
