#include "jt808/subpackage_assembler.h"

#include <gtest/gtest.h>

#include <numeric>

#include "jt808/message_ids.h"

namespace jt808 {
namespace {

using Clock = SubpackageAssembler::Clock;
using Status = SubpackageAssembler::Status;

std::vector<std::uint8_t> longBody(std::size_t n) {
    std::vector<std::uint8_t> body(n);
    std::iota(body.begin(), body.end(), std::uint8_t{0});
    return body;
}

// The pieces as the terminal sends them, decoded.
std::vector<Message> pieces(const std::vector<std::uint8_t>& body, std::size_t pieceBytes,
                            std::uint16_t firstSerial = 100, Version v = Version::V2013) {
    Header h;
    h.msgId = msg::kBatchLocation;
    h.version = v;
    h.phone = v == Version::V2019 ? "00000000013912344329" : "013912344329";
    h.serial = firstSerial;
    std::vector<Message> out;
    for (const auto& frame : encodeSubpackaged(h, body, pieceBytes)) {
        auto d = decodeFrame(frame);
        EXPECT_TRUE(d.ok()) << d.error;
        out.push_back(*d.message);
    }
    return out;
}

TEST(Jt808Subpackages, InAnyOrderGiveTheWholeMessageOnce) {
    const auto body = longBody(2500);
    for (const auto& order :
         {std::vector<int>{0, 1, 2}, std::vector<int>{2, 0, 1}, std::vector<int>{1, 2, 0}}) {
        auto p = pieces(body, 1000);
        ASSERT_EQ(p.size(), 3u);
        SubpackageAssembler a;
        const auto now = Clock::now();
        for (std::size_t i = 0; i < order.size(); ++i) {
            auto out = a.add(p[static_cast<std::size_t>(order[i])], now);
            if (i + 1 < order.size()) {
                EXPECT_EQ(out.status, Status::Pending);
                continue;
            }
            ASSERT_EQ(out.status, Status::Complete);
            EXPECT_EQ(out.message->body, body);
            EXPECT_EQ(out.message->header.serial, 100);
            EXPECT_FALSE(out.message->header.subpackaged);
            EXPECT_EQ(out.message->header.msgId, msg::kBatchLocation);
        }
        EXPECT_EQ(a.pendingMessages(), 0u);
        EXPECT_EQ(a.pendingBytes(), 0u);
    }
}

TEST(Jt808Subpackages, RepeatedPieceIsIgnored) {
    auto p = pieces(longBody(30), 10, 0xfffe, Version::V2019);  // serials wrap past 0xffff
    SubpackageAssembler a;
    const auto now = Clock::now();
    EXPECT_EQ(a.add(p[1], now).status, Status::Pending);
    EXPECT_EQ(a.add(p[1], now).status, Status::Duplicate);
    EXPECT_EQ(a.add(p[0], now).status, Status::Pending);
    const auto out = a.add(p[2], now);
    ASSERT_EQ(out.status, Status::Complete);
    EXPECT_EQ(out.message->body, longBody(30));
    EXPECT_EQ(out.message->header.serial, 0xfffe);
}

TEST(Jt808Subpackages, TwoMessagesInterleavedStayApart) {
    auto a1 = pieces(longBody(20), 10, 10);
    auto b = longBody(20);
    std::reverse(b.begin(), b.end());
    auto b1 = pieces(b, 10, 20);
    SubpackageAssembler a;
    const auto now = Clock::now();
    a.add(a1[0], now);
    a.add(b1[1], now);
    EXPECT_EQ(a.add(b1[0], now).message->body, b);
    EXPECT_EQ(a.add(a1[1], now).message->body, longBody(20));
}

TEST(Jt808Subpackages, LimitsAndTimeOutBoundWhatIsHeld) {
    SubpackageLimits limits;
    limits.maxMessages = 2;
    limits.maxBytes = 25 + 2 * kPieceCost;
    limits.timeout = std::chrono::seconds(30);
    SubpackageAssembler a(limits);
    const auto t0 = Clock::now();
    EXPECT_EQ(a.add(pieces(longBody(30), 10, 1)[0], t0).status, Status::Pending);
    EXPECT_EQ(a.add(pieces(longBody(30), 10, 11)[0], t0).status, Status::Pending);
    // A third message is refused while two are pending.
    const auto third = a.add(pieces(longBody(30), 10, 21)[0], t0);
    EXPECT_EQ(third.status, Status::Rejected);
    EXPECT_NE(third.error.find("too many"), std::string::npos);
    // A piece that would pass the byte limit is refused.
    const auto big = a.add(pieces(longBody(30), 10, 1)[1], t0);
    EXPECT_EQ(big.status, Status::Rejected);
    EXPECT_EQ(a.pendingBytes(), 20u);

    // After the time-out both are dropped and room is free again.
    EXPECT_EQ(a.expire(t0 + std::chrono::seconds(29)), 0u);
    EXPECT_EQ(a.add(pieces(longBody(30), 10, 21)[0], t0 + std::chrono::seconds(31)).status,
              Status::Pending);
    EXPECT_EQ(a.pendingMessages(), 1u);
    EXPECT_EQ(a.pendingBytes(), 10u);
}

TEST(Jt808Subpackages, EmptyPiecesCannotFillMemory) {
    // A terminal announcing 65535 empty pieces is stopped by the byte limit.
    Header h;
    h.msgId = msg::kBatchLocation;
    h.phone = "013912344329";
    h.subpackaged = true;
    h.packageTotal = 0xffff;
    SubpackageAssembler a;
    const auto now = Clock::now();
    int stored = 0;
    for (std::uint16_t i = 1; i < 0xffff; ++i) {
        h.packageIndex = i;
        h.serial = i;
        if (a.add(Message{h, {}}, now).status != Status::Pending) {
            break;
        }
        ++stored;
    }
    EXPECT_EQ(static_cast<std::size_t>(stored), SubpackageLimits{}.maxBytes / kPieceCost);
}

TEST(Jt808Subpackages, PieceDisagreeingOnTheTotalIsRefused) {
    auto p = pieces(longBody(30), 10, 1);
    SubpackageAssembler a;
    const auto now = Clock::now();
    a.add(p[0], now);
    Message odd = p[1];
    odd.header.packageTotal = 4;
    EXPECT_EQ(a.add(odd, now).status, Status::Rejected);
}

TEST(Jt808Subpackages, PlainMessagePassesStraightThrough) {
    Message m;
    m.header.msgId = msg::kHeartbeat;
    m.body = {1, 2};
    SubpackageAssembler a;
    const auto out = a.add(m, Clock::now());
    ASSERT_EQ(out.status, Status::Complete);
    EXPECT_EQ(*out.message, m);
}

}  // namespace
}  // namespace jt808
