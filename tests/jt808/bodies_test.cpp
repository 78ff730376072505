#include <gtest/gtest.h>

#include "jt808/bytes.h"
#include "jt808/driver_identity.h"
#include "jt808/general_response.h"
#include "jt808/registration.h"
#include "tests/jt808/hex.h"

namespace jt808 {
namespace {

using test::hex;

std::string text(const std::vector<std::uint8_t>& v) {
    return {v.begin(), v.end()};
}

TEST(Jt808Bodies, RegistrationInEveryLayout) {
    // 2013: province 44, city 0300, maker "70111", model "VT-4" padded to 20,
    // terminal id "T000001", colour 1, plate 粤B12345 in GBK.
    const auto body2013 = hex(
        "00 2C 01 2C 37 30 31 31 31 56 54 2D 34 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "54 30 30 30 30 30 31 01 D4 C1 42 31 32 33 34 35");
    const Registration expected{44, 300, "70111", "VT-4", "T000001", 1, "粤B12345"};
    const auto r13 = parseRegistration(body2013, Version::V2013);
    ASSERT_TRUE(r13) << r13.error;
    EXPECT_EQ(*r13, expected);
    EXPECT_EQ(encodeRegistration(expected, Version::V2013), body2013);

    // 2019: maker [11], model [30], terminal id [30].
    Registration reg2019 = expected;
    reg2019.makerId = "70111000001";
    reg2019.terminalId = "T0000000000000000000000000001";
    const auto body2019 = encodeRegistration(reg2019, Version::V2019);
    EXPECT_EQ(body2019.size(), 4u + 11 + 30 + 30 + 1 + 8);
    EXPECT_EQ(text(body2019).substr(4, 11), "70111000001");
    const auto r19 = parseRegistration(body2019, Version::V2019);
    ASSERT_TRUE(r19) << r19.error;
    EXPECT_EQ(*r19, reg2019);

    // Older terminals: model [8].
    const auto body2011 =
        hex("00 2C 01 2C 37 30 31 31 31 56 54 2D 34 00 00 00 00 54 30 30 30 30 30 31 02 41 42");
    const auto r11 = parseRegistration(body2011, Version::V2013);
    ASSERT_TRUE(r11) << r11.error;
    EXPECT_EQ(r11->model, "VT-4");
    EXPECT_EQ(r11->terminalId, "T000001");
    EXPECT_EQ(r11->plate, "AB");

    EXPECT_FALSE(parseRegistration(hex("00 2C 01 2C 37"), Version::V2013));
    EXPECT_FALSE(parseRegistration(body2013, Version::V2019));
}

TEST(Jt808Bodies, RegistrationResponseCarriesTheCodeOnlyOnSuccess) {
    const RegistrationResponse ok{0x000A, 0, "c0ffee00112233445566778899aabbcc"};
    const auto bytes = encodeRegistrationResponse(ok);
    EXPECT_EQ(bytes, hex("00 0A 00 63 30 66 66 65 65 30 30 31 31 32 32 33 33 34 34 35 35 36 36 "
                         "37 37 38 38 39 39 61 61 62 62 63 63"));
    EXPECT_EQ(*parseRegistrationResponse(bytes), ok);

    const RegistrationResponse refused{7, 4, "ignored"};
    EXPECT_EQ(encodeRegistrationResponse(refused), hex("00 07 04"));
    EXPECT_EQ(parseRegistrationResponse(hex("00 07 04"))->authCode, "");
    EXPECT_FALSE(parseRegistrationResponse(hex("00 07")));
}

TEST(Jt808Bodies, AuthenticationInBothLayouts) {
    // 2013: the code is the body.
    EXPECT_EQ(parseAuthentication(hex("38 33 30 30"), Version::V2013)->code, "8300");
    EXPECT_EQ(encodeAuthentication({"8300", "", ""}, Version::V2013), hex("38 33 30 30"));
    EXPECT_EQ(parseAuthentication({}, Version::V2013)->code, "");

    // 2019: length, code, IMEI [15], software version [20].
    const auto body =
        hex("04 38 33 30 30 38 36 34 39 39 30 30 30 31 32 33 34 35 36 37 "
            "31 2E 30 2E 37 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    const Authentication expected{"8300", "864990001234567", "1.0.7"};
    const auto a = parseAuthentication(body, Version::V2019);
    ASSERT_TRUE(a) << a.error;
    EXPECT_EQ(*a, expected);
    EXPECT_EQ(encodeAuthentication(expected, Version::V2019), body);

    // A code length past the body is an error, not a read past it.
    auto lying = body;
    lying[0] = 0xF0;
    const auto bad = parseAuthentication(lying, Version::V2019);
    EXPECT_FALSE(bad);
    EXPECT_NE(bad.error.find("authentication"), std::string::npos);
}

TEST(Jt808Bodies, GeneralResponsesAndTime) {
    EXPECT_EQ(encodePlatformResponse(0x00EE, 0x0200, ResponseResult::Ok), hex("00 EE 02 00 00"));
    EXPECT_EQ(encodePlatformResponse(3, 0x0900, ResponseResult::NotSupported),
              hex("00 03 09 00 03"));
    EXPECT_EQ(*parseGeneralResponse(hex("12 34 81 00 02")), (GeneralResponse{0x1234, 0x8100, 2}));
    EXPECT_FALSE(parseGeneralResponse(hex("12 34 81 00")));

    using namespace std::chrono;
    const sys_seconds t = sys_days{2026y / December / 8} + 23h + 5min + 9s;
    EXPECT_EQ(encodeTimeResponse(t), hex("26 12 08 23 05 09"));
    EXPECT_EQ(*parseTimeResponse(hex("26 12 08 23 05 09")), t);
    EXPECT_FALSE(parseTimeResponse(hex("26 13 08 23 05 09")));  // month 13
    EXPECT_FALSE(parseTimeResponse(hex("26 12 08 23 05")));
}

TEST(Jt808Bodies, ReportTimesAreGmtPlus8) {
    using namespace std::chrono;
    // 01:30 on 1 January at GMT+8 is the previous day in UTC.
    EXPECT_EQ(bcdTimeToUtc("260101013000"), sys_days{2025y / December / 31} + 17h + 30min);
    EXPECT_EQ(utcToBcdTime(sys_days{2025y / December / 31} + 17h + 30min), "260101013000");
    for (const char* bad :
         {"000000000000", "260230120000", "260101240000", "2601010130", "2601010130a0"}) {
        EXPECT_FALSE(bcdTimeToUtc(bad).has_value()) << bad;
    }
}

TEST(Jt808Bodies, DriverIdentityInBothLayouts) {
    // Card in, read: name 张三, qualification code, authority 粤交, expiry.
    const auto body2013 =
        hex("01 26 12 08 09 30 00 00 04 D5 C5 C8 FD "
            "34 34 30 33 30 30 31 39 38 30 30 31 30 31 31 32 33 34 00 00 "
            "04 D4 C1 BD BB 20 30 12 31");
    DriverIdentity expected;
    expected.status = kCardInserted;
    expected.time = "261208093000";
    expected.name = "张三";
    expected.qualification = "440300198001011234";
    expected.authority = "粤交";
    expected.expiry = "20301231";
    const auto d = parseDriverIdentity(body2013, Version::V2013);
    ASSERT_TRUE(d) << d.error;
    EXPECT_EQ(*d, expected);
    EXPECT_EQ(encodeDriverIdentity(expected, Version::V2013), body2013);

    DriverIdentity with2019 = expected;
    with2019.idCard = "440300198001011234";
    const auto body2019 = encodeDriverIdentity(with2019, Version::V2019);
    EXPECT_EQ(body2019.size(), body2013.size() + 20);
    EXPECT_EQ(*parseDriverIdentity(body2019, Version::V2019), with2019);
    EXPECT_FALSE(parseDriverIdentity(body2013, Version::V2019));

    // Card out: status and time only. Card in but unreadable: no card fields.
    DriverIdentity out;
    out.status = kCardRemoved;
    out.time = "261208180000";
    EXPECT_EQ(encodeDriverIdentity(out, Version::V2013), hex("02 26 12 08 18 00 00"));
    EXPECT_EQ(*parseDriverIdentity(hex("02 26 12 08 18 00 00"), Version::V2013), out);
    EXPECT_EQ(parseDriverIdentity(hex("01 26 12 08 18 00 00 02"), Version::V2013)->icResult, 2);

    // A name length past the body is an error.
    auto cut = body2013;
    cut.resize(20);
    EXPECT_FALSE(parseDriverIdentity(cut, Version::V2013));
}

}  // namespace
}  // namespace jt808
