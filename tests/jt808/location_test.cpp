#include "jt808/location.h"

#include <gtest/gtest.h>

#include "jt808/frame.h"
#include "jt808/message_ids.h"
#include "tests/jt808/hex.h"

namespace jt808 {
namespace {

using test::hex;

TEST(Jt808Location, PublishedExampleFrameDecodes) {
    // A location report published in a vendor's write-up of the protocol,
    // check code 0x86 verified by hand.
    const auto frame =
        hex("7E 02 00 00 52 00 20 02 60 43 23 00 A4 00 02 00"
            "00 00 0C 00 02 01 58 B9 1B 06 CB 70 61 00 46 00"
            "00 00 59 21 09 22 16 37 58 01 04 00 00 00 01 03"
            "02 00 00 25 04 00 00 00 01 30 01 11 31 01 10 E3"
            "01 00 D5 1B 02 20 02 60 43 23 27 95 93 78 61 60"
            "00 12 20 00 00 12 34 27 95 93 78 61 58 00 12 86 7E");
    const auto d = decodeFrame(frame);
    ASSERT_TRUE(d.ok()) << d.error;
    EXPECT_EQ(d.message->header.msgId, msg::kLocation);
    EXPECT_EQ(d.message->header.phone, "002002604323");
    EXPECT_EQ(d.message->header.serial, 0xA4);

    const auto loc = parseLocation(d.message->body);
    ASSERT_TRUE(loc) << loc.error;
    EXPECT_EQ(loc->alarm, 0x00020000u);
    EXPECT_EQ(loc->status, 0x000C0002u);
    EXPECT_TRUE(loc->status & status::kLocated);
    EXPECT_DOUBLE_EQ(latitudeDegrees(*loc), 22.591771);
    EXPECT_DOUBLE_EQ(longitudeDegrees(*loc), 113.995873);
    EXPECT_EQ(loc->altitude, 70);
    EXPECT_EQ(loc->speed, 0);
    EXPECT_EQ(loc->direction, 89);
    EXPECT_EQ(loc->time, "210922163758");
    using namespace std::chrono;
    EXPECT_EQ(utcTime(*loc), sys_days{2021y / September / 22} + 8h + 37min + 58s);
    EXPECT_EQ(loc->mileage, 1u);
    EXPECT_EQ(loc->recorderSpeed, 0u);
    EXPECT_EQ(loc->vehicleSignals, 1u);
    EXPECT_EQ(loc->signalStrength, 0x11);
    EXPECT_EQ(loc->satellites, 0x10);
    // The maker's own items are kept raw, in order.
    ASSERT_EQ(loc->items.size(), 7u);
    EXPECT_EQ(loc->items[5], (AdditionalItem{0xE3, {0x00}}));
    EXPECT_EQ(loc->items[6].id, 0xD5);
    EXPECT_EQ(loc->items[6].value.size(), 0x1Bu);
    // Encoding gives back the same body.
    EXPECT_EQ(encodeLocation(*loc), d.message->body);
}

Location sample() {
    Location loc;
    loc.alarm = alarm::kEmergency;
    loc.status = status::kAcc | status::kLocated | status::kSouth | status::kWest;
    loc.latitude = 33868800;    // 33.8688 S
    loc.longitude = 151209300;  // 151.2093 W (mirrored Sydney)
    loc.altitude = 58;
    loc.speed = 655;
    loc.direction = 271;
    loc.time = "261208093000";
    return loc;
}

TEST(Jt808Location, HandBuiltReportWithVideoItems) {
    const auto body =
        hex("00 00 00 01 00 00 00 0F 02 04 CC 00 09 03 45 54 00 3A 02 8F 01 0F 26 12 08 09 30 00"
            "14 04 00 00 00 21"  // video alarms: signal loss, abnormal driving
            "15 04 00 00 00 05"  // channels 1 and 3 lost
            "16 04 00 00 00 02"  // channel 2 covered
            "17 02 10 01"        // main store 1, backup 1
            "18 03 00 03 05"     // fatigue and phone call, degree 5
            "2A 02 00 01 2B 04 00 0A 00 0B 02 02 01 F4 04 02 00 07"
            "F0 00");  // an empty maker item
    const auto loc = parseLocation(body);
    ASSERT_TRUE(loc) << loc.error;
    Location expected = sample();
    EXPECT_EQ(loc->alarm, expected.alarm);
    EXPECT_DOUBLE_EQ(latitudeDegrees(*loc), -33.8688);
    EXPECT_DOUBLE_EQ(longitudeDegrees(*loc), -151.2093);
    EXPECT_EQ(loc->speed, 655);
    EXPECT_EQ(loc->direction, 271);
    EXPECT_EQ(loc->videoAlarms, video_alarm::kSignalLoss | video_alarm::kAbnormalDriving);
    EXPECT_EQ(loc->videoSignalLoss, 5u);
    EXPECT_EQ(loc->videoOcclusion, 2u);
    EXPECT_EQ(loc->storageFault, 0x1001u);
    EXPECT_EQ(loc->abnormalDriving, (AbnormalDriving{3, 5}));
    EXPECT_EQ(loc->ioStatus, 1u);
    EXPECT_EQ(loc->analog, 0x000A000Bu);
    EXPECT_EQ(loc->fuel, 500u);
    EXPECT_EQ(loc->alarmEventId, 7u);
    EXPECT_EQ(loc->items.back(), (AdditionalItem{0xF0, {}}));
    EXPECT_EQ(encodeLocation(*loc), body);
}

TEST(Jt808Location, ItemsOfOddLengthStayRawAndAnOverrunningLastItemKeepsThePosition) {
    Location loc = sample();
    loc.items = {AdditionalItem{item::kMileage, {1, 2}}, makeItem(item::kSatellites, 9, 1)};
    const auto parsed = parseLocation(encodeLocation(loc));
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(parsed->mileage.has_value());
    EXPECT_EQ(parsed->items[0].value, (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(parsed->satellites, 9);

    auto body = encodeLocation(loc);
    body.back() = 0x31;  // satellites item now claims more than is there
    body.push_back(0x31);
    body.push_back(0x05);
    const auto overrun = parseLocation(body);
    ASSERT_TRUE(overrun) << overrun.error;
    EXPECT_EQ(overrun->latitude, loc.latitude);
    EXPECT_EQ(overrun->items.size(), 2u);  // the two before the broken one
    EXPECT_NE(overrun->brokenItem.find("0x31"), std::string::npos) << overrun->brokenItem;

    // As captured from a field device: item 0x00 of length 120 with 10 bytes left.
    auto field = encodeLocation(sample());
    const std::size_t basic = field.size();
    field.push_back(0x00);
    field.push_back(120);
    field.resize(field.size() + 10, 0x55);
    const auto captured = parseLocation(field);
    ASSERT_TRUE(captured) << captured.error;
    EXPECT_TRUE(captured->items.empty());
    EXPECT_EQ(captured->brokenItem, "additional item 0x00 at byte " + std::to_string(basic) +
                                        " claims 120 bytes, 10 remain");

    auto shortBody = encodeLocation(sample());
    shortBody.resize(27);
    EXPECT_FALSE(parseLocation(shortBody));
    auto badTime = encodeLocation(sample());
    badTime[22] = 0x1A;
    EXPECT_FALSE(parseLocation(badTime));
}

TEST(Jt808Location, UnreadableTimeIsKeptButHasNoUtc) {
    Location loc = sample();
    loc.time = "000000000000";  // no fix yet: some terminals send zeros
    const auto parsed = parseLocation(encodeLocation(loc));
    ASSERT_TRUE(parsed);
    EXPECT_FALSE(utcTime(*parsed).has_value());
}

TEST(Jt808Location, BlindAreaBatchKeepsEveryReadableItem) {
    BatchLocation batch;
    batch.type = static_cast<std::uint8_t>(BatchType::BlindArea);
    for (int i = 0; i < 3; ++i) {
        Location loc = sample();
        loc.speed = static_cast<std::uint16_t>(i);
        batch.items.push_back(loc);
    }
    const auto body = encodeBatchLocation(batch);
    EXPECT_EQ(body[0], 0);
    EXPECT_EQ(body[1], 3);
    EXPECT_EQ(body[2], 1);
    EXPECT_EQ(body[3], 0);
    EXPECT_EQ(body[4], 28);
    const auto parsed = parseBatchLocation(body);
    ASSERT_TRUE(parsed) << parsed.error;
    EXPECT_EQ(*parsed, batch);

    // Item 1 too short for a report: skipped with its reason, the others kept.
    std::vector<std::uint8_t> mixed = {0x00, 0x03, 0x01};
    auto item = [&](const std::vector<std::uint8_t>& b) {
        mixed.push_back(static_cast<std::uint8_t>(b.size() >> 8));
        mixed.push_back(static_cast<std::uint8_t>(b.size()));
        mixed.insert(mixed.end(), b.begin(), b.end());
    };
    item(encodeLocation(batch.items[0]));
    item({1, 2, 3});
    item(encodeLocation(batch.items[2]));
    const auto some = parseBatchLocation(mixed);
    ASSERT_TRUE(some) << some.error;
    ASSERT_EQ(some->items.size(), 2u);
    EXPECT_EQ(some->items[1].speed, 2);
    ASSERT_EQ(some->skipped.size(), 1u);
    EXPECT_NE(some->skipped[0].find("item 1"), std::string::npos);

    // A count or an item length beyond the body is an error.
    auto lyingCount = body;
    lyingCount[1] = 4;
    EXPECT_FALSE(parseBatchLocation(lyingCount));
    auto lyingLength = body;
    lyingLength[4] = 200;
    EXPECT_FALSE(parseBatchLocation(lyingLength));
    EXPECT_FALSE(parseBatchLocation(hex("00 01")));
}

}  // namespace
}  // namespace jt808
