#include "jt808/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "jt808/bytes.h"
#include "jt808/message_ids.h"
#include "tests/jt808/hex.h"

namespace jt808 {
namespace {

using test::hex;

Header header2013(std::uint16_t msgId = msg::kHeartbeat, std::uint16_t serial = 1) {
    Header h;
    h.msgId = msgId;
    h.phone = "013912344329";
    h.serial = serial;
    return h;
}

Header header2019(std::uint16_t msgId = msg::kHeartbeat, std::uint16_t serial = 1) {
    Header h = header2013(msgId, serial);
    h.version = Version::V2019;
    h.phone = "00000000013912344329";
    return h;
}

// The bytes between the delimiters hold no 0x7e, and decoding gives back
// what was encoded.
void expectRoundTrip(const Header& h, const std::vector<std::uint8_t>& body) {
    const auto frame = encodeFrame(h, body);
    ASSERT_GE(frame.size(), 2u);
    EXPECT_EQ(frame.front(), kFlag);
    EXPECT_EQ(frame.back(), kFlag);
    EXPECT_EQ(std::count(frame.begin(), frame.end(), kFlag), 2);
    const auto decoded = decodeFrame(frame);
    ASSERT_TRUE(decoded.ok()) << decoded.error;
    EXPECT_EQ(decoded.message->header, h);
    EXPECT_EQ(decoded.message->body, body);
}

TEST(Jt808Frame, PublishedHeartbeatAndResponsesDecode) {
    // A 2013 authentication and the platform's general response to a location
    // report, as captured from a terminal and its platform.
    const auto auth = decodeFrame(
        hex("7E 01 02 00 0D 00 20 02 60 43 25 00 01 38 33 30 30 32 30 30 32 36 30 34 33 32 13 7E"));
    ASSERT_TRUE(auth.ok()) << auth.error;
    EXPECT_EQ(auth.message->header.msgId, msg::kAuthentication);
    EXPECT_EQ(auth.message->header.phone, "002002604325");
    EXPECT_EQ(auth.message->header.serial, 1);
    EXPECT_EQ(auth.message->header.version, Version::V2013);
    EXPECT_EQ(std::string(auth.message->body.begin(), auth.message->body.end()), "8300200260432");

    const auto ack =
        decodeFrame(hex("7E 80 01 00 05 00 20 02 60 43 23 00 09 00 EE 02 00 00 43 7E"));
    ASSERT_TRUE(ack.ok()) << ack.error;
    EXPECT_EQ(ack.message->header.msgId, msg::kPlatformResponse);
    EXPECT_EQ(ack.message->body, hex("00 EE 02 00 00"));
}

TEST(Jt808Frame, EncodesBothHeadersByteForByte) {
    // 2013: id, properties (length 5), BCD[6] phone, serial, body, check.
    const auto body = hex("00 EE 02 00 00");
    Header h = header2013(msg::kPlatformResponse, 9);
    h.phone = "002002604323";
    EXPECT_EQ(encodeFrame(h, body),
              hex("7E 80 01 00 05 00 20 02 60 43 23 00 09 00 EE 02 00 00 43 7E"));

    // 2019: bit 14 in the properties, version byte, BCD[10] phone; a short
    // phone is padded with leading zeros.
    Header v = header2019(msg::kHeartbeat, 0x0102);
    v.phone = "13912344329";
    const auto frame = encodeFrame(v, {});
    std::vector<std::uint8_t> raw = hex("00 02 40 00 01 00 00 00 00 01 39 12 34 43 29 01 02");
    std::uint8_t x = 0;
    for (auto b : raw) {
        x ^= b;
    }
    raw.insert(raw.begin(), kFlag);
    raw.push_back(x);
    raw.push_back(kFlag);
    EXPECT_EQ(frame, raw);
    const auto decoded = decodeFrame(frame);
    ASSERT_TRUE(decoded.ok()) << decoded.error;
    EXPECT_EQ(decoded.message->header.phone, "00000000013912344329");
    EXPECT_EQ(decoded.message->header.protocolVersion, 1);
}

// The frame as it was built before it was laid out on the stack: the header
// and body through the byte writer, the check code, escape() between flags.
std::vector<std::uint8_t> referenceFrame(const Header& h, std::span<const std::uint8_t> body) {
    Writer w;
    w.u16(h.msgId);
    std::uint16_t props = static_cast<std::uint16_t>(body.size());
    props |= static_cast<std::uint16_t>((h.encryption & 0x07) << 10);
    props |= h.subpackaged ? 1u << 13 : 0;
    props |= h.version == Version::V2019 ? 1u << 14 : 0;
    w.u16(props);
    if (h.version == Version::V2019) {
        w.u8(h.protocolVersion);
    }
    w.bcd(h.phone, h.version == Version::V2019 ? 10 : 6);
    w.u16(h.serial);
    if (h.subpackaged) {
        w.u16(h.packageTotal);
        w.u16(h.packageIndex);
    }
    w.bytes(body);
    w.u8(checkCode(w.data()));
    std::vector<std::uint8_t> frame{kFlag};
    const auto escaped = escape(w.data());
    frame.insert(frame.end(), escaped.begin(), escaped.end());
    frame.push_back(kFlag);
    return frame;
}

// Random headers of both layouts (short phones, every flag, serials and ids
// that are or hold 0x7e and 0x7d) and bodies of every length up to the most
// a frame holds, flags and escapes included.
TEST(Jt808Frame, EncodesWhatTheByteWriterAndEscapeGive) {
    std::mt19937 random(1078);
    const std::uint16_t tricky[] = {0x7e7e, 0x7d7d, 0x7e7d, 0x007e, 0x7d00, 0, 0xffff};
    for (int round = 0; round < 3000; ++round) {
        Header h;
        h.version = round % 2 ? Version::V2019 : Version::V2013;
        h.protocolVersion = static_cast<std::uint8_t>(random());
        const std::size_t digits = h.version == Version::V2019 ? 20 : 12;
        h.phone.clear();
        for (std::size_t n = random() % (digits + 1); n > 0; --n) {
            h.phone += static_cast<char>('0' + random() % 10);
        }
        h.msgId = round % 3 ? static_cast<std::uint16_t>(random()) : tricky[random() % 7];
        h.serial = round % 5 ? static_cast<std::uint16_t>(random()) : tricky[random() % 7];
        h.encryption = static_cast<std::uint8_t>(random() % 8);
        h.subpackaged = random() % 2;
        h.packageTotal = static_cast<std::uint16_t>(random());
        h.packageIndex = tricky[random() % 7];
        std::vector<std::uint8_t> body(round < 1024 ? static_cast<std::size_t>(round)
                                                    : random() % (kMaxBodyBytes + 1));
        for (auto& b : body) {
            b = random() % 4 == 0 ? (random() % 2 ? kFlag : kEscape)
                                  : static_cast<std::uint8_t>(random());
        }
        ASSERT_EQ(encodeFrame(h, body), referenceFrame(h, body)) << "round " << round;
    }
}

TEST(Jt808Frame, LeadingZerosOfThePhoneAreKept) {
    const auto decoded = decodeFrame(encodeFrame(header2013(), {}));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.message->header.phone, "013912344329");
}

TEST(Jt808Frame, EscapesFlagAndEscapeBytesAtEveryPosition) {
    EXPECT_EQ(escape(hex("30 7E 08 7D 55")), hex("30 7D 02 08 7D 01 55"));
    EXPECT_EQ(*unescape(hex("30 7D 02 08 7D 01 55")), hex("30 7E 08 7D 55"));

    for (const std::uint8_t special : {kFlag, kEscape}) {
        SCOPED_TRACE(static_cast<int>(special));
        // In the header: message id, body length (low byte of the
        // properties) and serial.
        expectRoundTrip(header2013(static_cast<std::uint16_t>(special << 8 | special)), {});
        expectRoundTrip(header2013(msg::kLocation, static_cast<std::uint16_t>(special)), {});
        expectRoundTrip(header2013(msg::kLocation, static_cast<std::uint16_t>(special << 8)), {});
        expectRoundTrip(header2019(msg::kLocation, static_cast<std::uint16_t>(special)),
                        std::vector<std::uint8_t>(special, 0x11));
        Header sub = header2013(msg::kLocation);
        sub.subpackaged = true;
        sub.packageTotal = special;
        sub.packageIndex = special;
        expectRoundTrip(sub, {1, 2, 3});

        // At every position of the body, then a body whose check code is
        // the special byte.
        for (std::size_t at = 0; at < 8; ++at) {
            std::vector<std::uint8_t> body(8, 0x30);
            body[at] = special;
            expectRoundTrip(header2013(msg::kLocation), body);
        }
        std::vector<std::uint8_t> body(8, 0x30);
        const auto plain = encodeFrame(header2013(msg::kLocation), body);
        const std::uint8_t check = plain[plain.size() - 2];
        body.back() = static_cast<std::uint8_t>(body.back() ^ check ^ special);
        const auto frame = encodeFrame(header2013(msg::kLocation), body);
        ASSERT_EQ(frame[frame.size() - 3], kEscape);
        EXPECT_EQ(frame[frame.size() - 2], special == kFlag ? 0x02 : 0x01);
        expectRoundTrip(header2013(msg::kLocation), body);
    }
}

TEST(Jt808Frame, BrokenFramesGiveTheirReason) {
    auto good = encodeFrame(header2013(msg::kLocation), hex("01 02 03"));
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        FrameError code;
    };
    std::vector<Case> cases;

    auto badCheck = good;
    badCheck[badCheck.size() - 2] ^= 0x01;
    cases.push_back({"check code", badCheck, FrameError::CheckCode});

    auto flippedBody = good;
    flippedBody[14] ^= 0x40;
    cases.push_back({"body changed", flippedBody, FrameError::CheckCode});

    cases.push_back({"truncated", std::vector<std::uint8_t>(good.begin(), good.begin() + 8),
                     FrameError::TooShort});
    cases.push_back({"empty", {}, FrameError::TooShort});
    cases.push_back({"invalid escape", hex("7E 00 02 00 00 01 39 12 34 43 29 00 01 7D 03 7E"),
                     FrameError::Escape});
    cases.push_back({"escape at the end", hex("7E 00 02 00 00 01 39 12 34 43 29 00 01 7D 7E"),
                     FrameError::Escape});
    cases.push_back({"phone not BCD", encodeFrame(header2013(), {}), FrameError::Header});
    {
        // Phone byte 0x3A with the check code made right again.
        auto& f = cases.back().bytes;
        f[5] = 0x3A;
        f[f.size() - 2] ^= 0x01 ^ 0x3A;
    }
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto d = decodeFrame(c.bytes);
        EXPECT_FALSE(d.ok());
        EXPECT_EQ(d.code, c.code);
        EXPECT_FALSE(d.error.empty());
    }
}

TEST(Jt808Frame, FramesWithAndWithoutEscapesDecodeAlikeOneAfterAnother) {
    // Frames with escapes are unescaped into a buffer the thread keeps:
    // a long one with many escapes, then shorter ones, then one without any,
    // each decoding to its own bytes alone.
    std::vector<std::vector<std::uint8_t>> bodies = {
        std::vector<std::uint8_t>(200, kFlag),
        {kEscape, 1, 2, kFlag},
        {1, 2, 3},
        std::vector<std::uint8_t>(50, kEscape),
        {},
        {kFlag},
    };
    for (int round = 0; round < 2; ++round) {
        for (const auto& body : bodies) {
            const Header h = header2013(msg::kLocation);
            const auto d = decodeFrame(encodeFrame(h, body));
            ASSERT_TRUE(d.ok()) << d.error;
            EXPECT_EQ(d.message->body, body);
            EXPECT_EQ(d.message->header.phone, h.phone);
        }
    }
    // An unescaped frame after a broken one is read afresh.
    EXPECT_EQ(decodeFrame(hex("7E 00 02 00 00 01 39 12 34 43 29 00 01 7D 7E")).code,
              FrameError::Escape);
    const std::vector<std::uint8_t> oneEscape = {kEscape};
    EXPECT_TRUE(decodeFrame(encodeFrame(header2013(msg::kLocation), oneEscape)).ok());
}

TEST(Jt808Frame, EscapeFaultsNameTheirPlace) {
    EXPECT_EQ(unescape(hex("30 7E 31")).error, "bare 0x7e inside the frame at byte 1");
    EXPECT_EQ(unescape(hex("30 7D 02 7E 31")).error, "bare 0x7e inside the frame at byte 3");
    EXPECT_EQ(unescape(hex("30 7D 01 31 7D")).error, "frame ends inside an escape");
    EXPECT_EQ(unescape(hex("30 31 7D 05")).error, "invalid escape 0x7d 0x05 at byte 2");
    EXPECT_EQ(unescape(hex("7D 7E")).error, "invalid escape 0x7d 0x7e at byte 0");
    EXPECT_EQ(*unescape(hex("7D 02 7D 01")), hex("7E 7D"));
    EXPECT_TRUE(unescape({})->empty());
    // The same faults inside a frame, behind the delimiters.
    EXPECT_EQ(decodeFrame(hex("7E 30 7D 02 7E 31 7E")).error,
              "bare 0x7e inside the frame at byte 3");
    EXPECT_EQ(decodeFrame(hex("7E 00 02 00 00 01 39 12 34 43 29 00 01 7D 03 7E")).error,
              "invalid escape 0x7d 0x03 at byte 12");
}

// Re-encodes raw header + body bytes into a frame with a right check code,
// so that only the property under test is wrong.
std::vector<std::uint8_t> frameOf(std::vector<std::uint8_t> raw) {
    std::uint8_t x = 0;
    for (auto b : raw) {
        x ^= b;
    }
    raw.push_back(x);
    auto out = escape(raw);
    out.insert(out.begin(), kFlag);
    out.push_back(kFlag);
    return out;
}

TEST(Jt808Frame, BodyLengthThatLiesIsRefusedButTheHeaderIsKept) {
    // Says 5 bytes, holds 3; then says 2, holds 3.
    for (const char* props : {"00 05", "00 02"}) {
        const auto d = decodeFrame(
            frameOf(hex(std::string("02 00 ") + props + " 01 39 12 34 43 29 00 07 AA BB CC")));
        EXPECT_FALSE(d.ok());
        EXPECT_EQ(d.code, FrameError::BodyLength);
        EXPECT_NE(d.error.find("body length"), std::string::npos) << d.error;
        ASSERT_TRUE(d.header.has_value());
        EXPECT_EQ(d.header->serial, 7);
    }
    // Sub-packaged flag set but no room for the package fields.
    const auto d = decodeFrame(frameOf(hex("02 00 20 00 01 39 12 34 43 29 00 07")));
    EXPECT_EQ(d.code, FrameError::TooShort);
}

TEST(Jt808Frame, EncryptedMessagesAreRefusedWithTheirHeader) {
    Header h = header2013(msg::kLocation, 12);
    h.encryption = 1;  // RSA
    const auto d = decodeFrame(encodeFrame(h, hex("01 02")));
    EXPECT_FALSE(d.ok());
    EXPECT_EQ(d.code, FrameError::Encrypted);
    EXPECT_NE(d.error.find("encrypted"), std::string::npos);
    ASSERT_TRUE(d.header.has_value());
    EXPECT_EQ(d.header->serial, 12);
    EXPECT_EQ(d.header->phone, "013912344329");
}

TEST(Jt808Frame, PackageNumberingOutsideTheTotalIsRefused) {
    for (auto [total, index] : {std::pair{0, 0}, std::pair{3, 0}, std::pair{3, 4}}) {
        Header h = header2013(msg::kLocation);
        h.subpackaged = true;
        h.packageTotal = static_cast<std::uint16_t>(total);
        h.packageIndex = static_cast<std::uint16_t>(index);
        const auto d = decodeFrame(encodeFrame(h, std::vector<std::uint8_t>{1}));
        EXPECT_EQ(d.code, FrameError::Header) << total << "/" << index;
    }
}

TEST(Jt808Frame, EncoderRefusesWhatItCannotWrite) {
    Header h = header2013();
    EXPECT_TRUE(encodeFrame(h, std::vector<std::uint8_t>(kMaxBodyBytes + 1)).empty());
    h.phone = "0139123443291";  // 13 digits in a 2013 header
    EXPECT_TRUE(encodeFrame(h, {}).empty());
    h.phone = "01391234432x";
    EXPECT_TRUE(encodeFrame(h, {}).empty());
}

TEST(Jt808Frame, ReplyKeepsTheTerminalsHeaderLayout) {
    Header request = header2019(msg::kLocation, 77);
    request.protocolVersion = 2;
    const Header reply = replyHeader(request, msg::kPlatformResponse, 5);
    EXPECT_EQ(reply.version, Version::V2019);
    EXPECT_EQ(reply.protocolVersion, 2);
    EXPECT_EQ(reply.phone, request.phone);
    EXPECT_EQ(reply.serial, 5);
    EXPECT_FALSE(reply.subpackaged);
}

}  // namespace
}  // namespace jt808
