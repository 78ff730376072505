#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "center/sqlite_registry.h"

namespace center {
namespace {

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vardo-registry-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/registry.sqlite";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string dir_;
    std::string path_;
};

TEST_F(RegistryTest, CodesAndTerminalsSurviveReopening) {
    TerminalRecord t;
    t.phone = "013912344329";
    t.plate = "粤B12345";
    t.plateColour = 2;
    t.makerId = "VARDO";
    std::string code;
    {
        SqliteRegistry r;
        ASSERT_EQ(r.open(path_), "");
        std::string error;
        code = r.enroll(t, 1000, error).value_or("");
        ASSERT_EQ(error, "");
        EXPECT_EQ(code.size(), 32u);  // 128 bits as hex
        EXPECT_EQ(code.find_first_not_of("0123456789abcdef"), std::string::npos);
        EXPECT_EQ(r.setDriver(t.phone, "张三"), "");
        EXPECT_EQ(r.touch(t.phone, 2000), "");
    }
    SqliteRegistry r;
    ASSERT_EQ(r.open(path_), "");
    const auto found = r.find("013912344329");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->authCode, code);
    EXPECT_EQ(found->plate, "粤B12345");
    EXPECT_EQ(found->plateColour, 2);
    EXPECT_EQ(found->makerId, "VARDO");
    EXPECT_EQ(found->driver, "张三");
    EXPECT_EQ(found->firstSeen, 1000);
    EXPECT_EQ(found->lastSeen, 2000);
    // Leading zeros are part of the phone as sent.
    EXPECT_FALSE(r.find("13912344329"));
}

TEST_F(RegistryTest, SightingsStoredTogetherKeepTheirOrderAndAnotherConnectionSeesThem) {
    SqliteRegistry writer;
    ASSERT_EQ(writer.open(path_), "");
    SqliteRegistry reader;
    ASSERT_EQ(reader.open(path_), "");
    std::string error;
    for (const char* phone : {"013900000001", "013900000002"}) {
        TerminalRecord t;
        t.phone = phone;
        ASSERT_TRUE(writer.enroll(t, 1000, error)) << error;
    }
    // A read left open by a kept statement would hide the writer's commit.
    ASSERT_EQ(reader.find("013900000001")->lastSeen, 1000);
    EXPECT_EQ(writer.touchAll({{"013900000001", 2000},
                               {"013900000002", 2500},
                               {"013900000001", 3000},
                               {"013900000099", 3500}}),
              "");  // a phone no longer registered changes nothing
    EXPECT_EQ(reader.find("013900000001")->lastSeen, 3000);  // the later sighting wins
    EXPECT_EQ(reader.find("013900000002")->lastSeen, 2500);
    EXPECT_FALSE(reader.find("013900000099"));
    // Nothing stays open on the writer's side either: another writer commits.
    EXPECT_EQ(reader.touch("013900000002", 4000), "");
    EXPECT_EQ(writer.find("013900000002")->lastSeen, 4000);
}

TEST_F(RegistryTest, RegisteringAgainReplacesTheCodeAndKeepsTheFirstSighting) {
    SqliteRegistry r;
    ASSERT_EQ(r.open(path_), "");
    TerminalRecord t;
    t.phone = "013900000001";
    std::string error;
    const auto first = r.enroll(t, 100, error);
    t.plate = "B2";
    const auto second = r.enroll(t, 200, error);
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    const auto found = r.find(t.phone);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->authCode, *second);
    EXPECT_EQ(found->plate, "B2");
    EXPECT_EQ(found->firstSeen, 100);
    EXPECT_EQ(r.count(), 1u);
    EXPECT_EQ(r.forget(t.phone), "");
    EXPECT_FALSE(r.find(t.phone));
}

TEST_F(RegistryTest, AFolderThatCannotHoldTheFileIsAClearError) {
    SqliteRegistry r;
    const std::string error = r.open(dir_ + "/missing/registry.sqlite");
    EXPECT_NE(error.find("cannot open the registry"), std::string::npos) << error;
    std::string enrollError;
    EXPECT_FALSE(r.enroll(TerminalRecord{}, 0, enrollError));
    EXPECT_FALSE(enrollError.empty());
}

TEST(AuthCode, CodesAreFreshAndComparedWhole) {
    EXPECT_NE(newAuthCode(), newAuthCode());
    EXPECT_TRUE(sameCode("abc", "abc"));
    EXPECT_FALSE(sameCode("abc", "abd"));
    EXPECT_FALSE(sameCode("abc", "abcd"));
    EXPECT_FALSE(sameCode("", "a"));
}

}  // namespace
}  // namespace center
