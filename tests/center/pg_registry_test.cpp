// The registry several centers share in PostgreSQL: each center's object has
// its own connection, as two vardo-center processes would.

#include "center/pg_registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "center/claim_watch.h"
#include "testsupport/pg/pg_test_server.h"

namespace center {
namespace {

using namespace std::chrono_literals;

class SharedRegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        database_ = pgtest::TestDatabase::Create(error, false);
        if (!database_) {
            GTEST_SKIP() << "no PostgreSQL for the test: " << error;
        }
    }

    // A center's registry, tables created where missing.
    std::unique_ptr<PgRegistry> center(const std::string& id) {
        auto registry = std::make_unique<PgRegistry>(database_->ConnInfo(), id);
        const std::string error = registry->open();
        EXPECT_EQ(error, "");
        return error.empty() ? std::move(registry) : nullptr;
    }

    std::unique_ptr<pgtest::TestDatabase> database_;
};

TerminalRecord Terminal(const std::string& phone) {
    TerminalRecord t;
    t.phone = phone;
    t.plate = "粤B12345";
    t.plateColour = 2;
    t.province = 44;
    t.city = 300;
    t.makerId = "VARDO";
    t.model = "VT-4CH";
    t.terminalId = "2344329";
    return t;
}

TEST_F(SharedRegistryTest, CentersStartingTogetherShareCodesAndReleases) {
    // Two centers starting at once both find or create the tables.
    std::unique_ptr<PgRegistry> a;
    std::unique_ptr<PgRegistry> b;
    std::thread first([&] { a = center("a"); });
    std::thread second([&] { b = center("b"); });
    first.join();
    second.join();
    ASSERT_TRUE(a && b);

    const auto enrolled = a->enrollNew(Terminal("013912344329"), 1000);
    ASSERT_EQ(enrolled.admission, Registry::Admission::Enrolled) << enrolled.error;
    EXPECT_EQ(enrolled.code.size(), 32u);
    // The other center knows the code at once, and will not hand out another.
    const auto seen = b->find("013912344329");
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->authCode, enrolled.code);
    EXPECT_EQ(seen->plate, "粤B12345");
    EXPECT_EQ(seen->plateColour, 2);
    EXPECT_EQ(seen->city, 300);
    EXPECT_EQ(seen->firstSeen, 1000);
    EXPECT_EQ(b->enrollNew(Terminal("013912344329"), 1100).admission,
              Registry::Admission::HoldsCode);
    EXPECT_EQ(a->find("013912344329")->authCode, enrolled.code);
    EXPECT_FALSE(b->find("13912344329"));  // leading zeros are part of the phone as sent

    // The operator names the phone without the padding; any center admits it then.
    EXPECT_EQ(a->release("13912344329", 0), "013912344329");
    EXPECT_EQ(a->find("013912344329")->authCode, "");
    const auto again = b->enrollNew(Terminal("013912344329"), 5000);
    ASSERT_EQ(again.admission, Registry::Admission::Enrolled) << again.error;
    EXPECT_NE(again.code, enrolled.code);
    EXPECT_EQ(a->find("013912344329")->firstSeen, 1000);
    EXPECT_EQ(a->find("013912344329")->lastSeen, 5000);

    // A release with a window that has passed admits nobody.
    EXPECT_EQ(b->release("013912344329", 6000), "013912344329");
    EXPECT_EQ(a->enrollNew(Terminal("013912344329"), 6001).admission,
              Registry::Admission::ReleaseExpired);
    EXPECT_EQ(a->enrollNew(Terminal("013912344329"), 6000).admission,
              Registry::Admission::Enrolled);
    EXPECT_EQ(b->release("999", 0).rfind("error: ", 0), 0u);

    EXPECT_EQ(a->setDriver("013912344329", "张三"), "");
    EXPECT_EQ(a->touch("013912344329", 7000), "");
    EXPECT_EQ(b->find("013912344329")->driver, "张三");
    EXPECT_EQ(b->find("013912344329")->lastSeen, 7000);
    EXPECT_EQ(b->count(), 1u);
    EXPECT_EQ(a->forget("013912344329"), "");
    EXPECT_FALSE(b->find("013912344329"));
    EXPECT_EQ(b->count(), 0u);

    // A second connection for the writer's thread is the same center.
    std::string error;
    const auto writer = a->openAnother(error);
    ASSERT_TRUE(writer) << error;
    EXPECT_EQ(static_cast<PgRegistry&>(*writer).centerId(), "a");
}

TEST_F(SharedRegistryTest, AllowListIgnoresLeadingZeros) {
    const auto a = center("a");
    ASSERT_TRUE(a);
    ASSERT_TRUE(database_->Exec("INSERT INTO center_allowed_terminals VALUES ('13912344329')"));
    EXPECT_TRUE(a->allows("013912344329"));
    EXPECT_TRUE(a->allows("00000000013912344329"));
    EXPECT_FALSE(a->allows("013912344320"));
    EXPECT_FALSE(a->allows("139123443290"));
    // The table takes phone numbers only.
    EXPECT_FALSE(database_->Exec("INSERT INTO center_allowed_terminals VALUES ('1391234x')"));
}

// Collects what a center's watch hands over, for the test thread.
class Claims {
public:
    Registry::ClaimHandler handler() {
        return [this](std::vector<LeaseClaim> claims) {
            std::lock_guard lock(mutex_);
            for (auto& c : claims) {
                seen_.push_back(std::move(c));
            }
            arrived_.notify_all();
        };
    }
    // The first claim of `phone` seen; nothing after a generous wait.
    std::optional<LeaseClaim> waitFor(const std::string& phone, std::int64_t generation) {
        std::unique_lock lock(mutex_);
        std::optional<LeaseClaim> found;
        arrived_.wait_for(lock, 20s, [&] {
            for (const auto& c : seen_) {
                if (c.phone == phone && c.generation == generation) {
                    found = c;
                }
            }
            return found.has_value();
        });
        return found;
    }
    std::vector<LeaseClaim> all() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<LeaseClaim> seen_;
};

TEST_F(SharedRegistryTest, ALoginOnAnotherCenterReachesTheCenterThatServedThePhone) {
    const auto a = center("center-a");
    const auto b = center("center-b");
    ASSERT_TRUE(a && b);
    std::string error;
    // Claimed by b before a watches: a hears of it when it starts watching.
    const std::int64_t early = b->claim("013900000001", 5000, error);
    ASSERT_GT(early, 0) << error;

    Claims heardByA;
    a->watchClaims(heardByA.handler());
    const auto atStart = heardByA.waitFor("013900000001", early);
    ASSERT_TRUE(atStart);
    EXPECT_EQ(atStart->center, "center-b");
    EXPECT_EQ(atStart->claimedAtMs, 5000);

    const std::int64_t mine = a->claim("013900000002", 6000, error);
    ASSERT_GT(mine, early) << error;
    const std::int64_t theirs = b->claim("013900000002", 7000, error);
    ASSERT_GT(theirs, mine) << error;
    const auto later = heardByA.waitFor("013900000002", theirs);
    ASSERT_TRUE(later);
    EXPECT_EQ(later->center, "center-b");
    EXPECT_EQ(later->claimedAtMs, 7000);
    a->stopWatching();
    // A center is never told of its own logins.
    for (const LeaseClaim& c : heardByA.all()) {
        EXPECT_EQ(c.center, "center-b") << c.phone;
    }
    const auto lease = database_->Query(
        "SELECT center_id, generation FROM center_terminal_leases WHERE phone = '013900000002'");
    ASSERT_EQ(lease.size(), 1u);
    EXPECT_EQ(lease[0][0], "center-b");
    EXPECT_EQ(lease[0][1], std::to_string(theirs));
}

TEST_F(SharedRegistryTest, AClaimMadeWhileTheWatchWasCutOffIsHeardAfterwards) {
    const auto a = center("center-a");
    const auto b = center("center-b");
    ASSERT_TRUE(a && b);
    Claims heardByA;
    a->watchClaims(heardByA.handler());
    std::string error;
    const std::int64_t first = b->claim("013900000003", 1000, error);
    ASSERT_TRUE(heardByA.waitFor("013900000003", first)) << error;

    // The database ends a's listening connection (a restart, a failover of
    // the server); b claims a phone before a is back.
    const auto cut = database_->Query(
        "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE application_name = "
        "'vardo-center claim watch' AND datname = current_database()");
    ASSERT_EQ(cut.size(), 1u);
    ASSERT_EQ(cut[0][0], "1");
    const std::int64_t missed = b->claim("013900000004", 2000, error);
    ASSERT_GT(missed, first) << error;
    const auto heard = heardByA.waitFor("013900000004", missed);
    ASSERT_TRUE(heard);
    EXPECT_EQ(heard->center, "center-b");
    a->stopWatching();
}

TEST(ClaimPayload, ReadsWhatAClaimSendsAndNothingElse) {
    const LeaseClaim claim{"013912344329", 42, 1700000000123, "host:77:0a1b2c3d"};
    const auto read = ParseClaim(ClaimPayload(claim));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->phone, claim.phone);
    EXPECT_EQ(read->generation, 42);
    EXPECT_EQ(read->claimedAtMs, 1700000000123);
    EXPECT_EQ(read->center, claim.center);
    for (const char* broken : {"", "013912344329", "013912344329 42 17", "01391234432x 1 2 c",
                               "013912344329 4x 2 c", "013912344329 1 99999999999999999999 c"}) {
        EXPECT_FALSE(ParseClaim(broken)) << broken;
    }
}

}  // namespace
}  // namespace center
