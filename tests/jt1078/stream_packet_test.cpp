#include "jt1078/stream_packet.h"

#include <gtest/gtest.h>

#include <vector>

#include "jt1078/packetizer.h"
#include "jt1078/payload_type.h"

namespace jt1078 {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A video packet written out by hand, field by field, as a terminal sends it.
const Bytes kHandMadeIFrame = {0x30, 0x31, 0x63, 0x64,              // magic
                               0x81,                                // V=2, P=0, X=0, CC=1
                               0xE2,                                // M=1, PT=98 (H.264)
                               0x01, 0x02,                          // sequence 258
                               0x01, 0x39, 0x12, 0x34, 0x56, 0x78,  // SIM 013912345678
                               0x03,                                // channel 3
                               0x00,                                // I-frame, atomic
                               0x00, 0x00, 0x01, 0x8C, 0xF0, 0x00, 0x00, 0x07,  // timestamp
                               0x03, 0xE8,  // last I-frame 1000 ms ago
                               0x00, 0x28,  // last frame 40 ms ago
                               0x00, 0x03,  // body length
                               0xAA, 0xBB, 0xCC};

TEST(StreamPacket, ReadsEveryFieldOfAHandMadeVideoPacket) {
    const DecodeResult r = decodePacket(kHandMadeIFrame, SimLayout::Bcd6, true);
    ASSERT_EQ(r.status, DecodeStatus::Ok) << r.error;
    PacketHeader want;
    want.marker = true;
    want.payloadType = 98;
    want.sequence = 258;
    want.sim = "013912345678";
    want.channel = 3;
    want.dataType = DataType::IFrame;
    want.subPackage = SubPackage::Atomic;
    want.timestampMs = 0x18CF0000007ULL;
    want.lastIFrameGapMs = 1000;
    want.lastFrameGapMs = 40;
    EXPECT_EQ(r.packet.header, want);
    EXPECT_EQ(Bytes(r.packet.body.begin(), r.packet.body.end()), (Bytes{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(r.size, kHandMadeIFrame.size());
    // The encoder writes the very same bytes.
    EXPECT_EQ(encodePacket(want, r.packet.body), kHandMadeIFrame);
}

// Which fields a data type carries decides where the body starts.
TEST(StreamPacket, EveryDataTypeAndSubPackageRoundTripsInBothLayouts) {
    const Bytes body = {1, 2, 3, 4, 5};
    for (const SimLayout layout : {SimLayout::Bcd6, SimLayout::Bcd10}) {
        for (int type = 0; type <= 4; ++type) {
            for (int sub = 0; sub <= 3; ++sub) {
                PacketHeader h;
                h.payloadType = type == 3 ? kG711A : kH264;
                h.sequence = 65535;
                h.sim = layout == SimLayout::Bcd10 ? "12345678901234567890" : "987654321098";
                h.channel = 1;
                h.dataType = static_cast<DataType>(type);
                h.subPackage = static_cast<SubPackage>(sub);
                if (h.dataType != DataType::Transparent) {
                    h.timestampMs = 123456789;
                }
                if (isVideo(h.dataType)) {
                    h.lastIFrameGapMs = 2000;
                    h.lastFrameGapMs = 40;
                }
                const Bytes bytes = encodePacket(h, body, layout);
                ASSERT_EQ(bytes.size(), headerBytes(layout, h.dataType) + body.size());
                for (const SimLayout reading : {layout, SimLayout::Auto}) {
                    const DecodeResult r = decodePacket(bytes, reading, true);
                    ASSERT_EQ(r.status, DecodeStatus::Ok)
                        << "type " << type << " sub " << sub << ": " << r.error;
                    EXPECT_EQ(r.packet.header, h) << "type " << type << " sub " << sub;
                    EXPECT_EQ(r.packet.layout, layout);
                    EXPECT_EQ(Bytes(r.packet.body.begin(), r.packet.body.end()), body);
                }
            }
        }
    }
    EXPECT_EQ(headerBytes(SimLayout::Bcd6, DataType::PFrame), 30u);
    EXPECT_EQ(headerBytes(SimLayout::Bcd6, DataType::Audio), 26u);
    EXPECT_EQ(headerBytes(SimLayout::Bcd6, DataType::Transparent), 18u);
    EXPECT_EQ(headerBytes(SimLayout::Bcd10, DataType::IFrame), 34u);
}

TEST(StreamPacket, RefusesWhatIsNoPacket) {
    struct Case {
        const char* what;
        std::size_t offset;
        std::uint8_t value;
    };
    const Case cases[] = {
        {"magic", 0, 0x31},        {"version 1", 4, 0x41},
        {"data type 5", 15, 0x50}, {"sub-package flag 4", 15, 0x04},
        {"SIM digit A", 9, 0x3A},  {"body length 951", 28, 0x03},
    };
    for (const Case& c : cases) {
        Bytes bytes = kHandMadeIFrame;
        bytes[c.offset] = c.value;
        if (c.offset == 28) {
            bytes[29] = 0xB7;  // 0x03B7 = 951
        }
        EXPECT_EQ(decodePacket(bytes, SimLayout::Bcd6, false).status, DecodeStatus::Invalid)
            << c.what;
        EXPECT_EQ(decodePacket(bytes, SimLayout::Auto, true).status, DecodeStatus::Invalid)
            << c.what;
    }
}

TEST(StreamPacket, ShortBytesWaitOnAStreamAndAreRefusedInADatagram) {
    for (std::size_t n = 0; n < kHandMadeIFrame.size(); ++n) {
        const std::span<const std::uint8_t> front(kHandMadeIFrame.data(), n);
        EXPECT_EQ(decodePacket(front, SimLayout::Bcd6, false).status, DecodeStatus::NeedMore) << n;
        EXPECT_EQ(decodePacket(front, SimLayout::Bcd6, true).status, DecodeStatus::Invalid) << n;
    }
    Bytes longer = kHandMadeIFrame;
    longer.push_back(0);
    EXPECT_EQ(decodePacket(longer, SimLayout::Bcd6, true).status, DecodeStatus::Invalid);
    // On a stream, what follows is the next packet's business.
    EXPECT_EQ(decodePacket(longer, SimLayout::Bcd6, false).size, kHandMadeIFrame.size());
}

TEST(StreamPacket, AutoLayoutOnAStreamWaitsForTheNextMagic) {
    PacketHeader h;
    h.sim = "00000000013912345678";
    h.dataType = DataType::Audio;
    h.payloadType = kG711A;
    h.channel = 1;
    const Bytes body(160, 0xD5);
    Bytes stream = encodePacket(h, body, SimLayout::Bcd10);
    const std::size_t first = stream.size();
    EXPECT_EQ(decodePacket(stream, SimLayout::Auto, false).status, DecodeStatus::NeedMore);
    const Bytes second = encodePacket(h, body, SimLayout::Bcd10);
    stream.insert(stream.end(), second.begin(), second.end());
    const DecodeResult r = decodePacket(stream, SimLayout::Auto, false);
    ASSERT_EQ(r.status, DecodeStatus::Ok) << r.error;
    EXPECT_EQ(r.packet.layout, SimLayout::Bcd10);
    EXPECT_EQ(r.size, first);
    EXPECT_EQ(r.packet.header.sim, h.sim);
}

TEST(StreamPacket, EncoderRefusesABodyThatNeedsSubPackages) {
    PacketHeader h;
    EXPECT_TRUE(encodePacket(h, Bytes(kMaxBodyBytes + 1, 0)).empty());
    EXPECT_EQ(encodePacket(h, Bytes(kMaxBodyBytes, 0)).size(), 30 + kMaxBodyBytes);
}

TEST(Packetizer, CutsAFrameIntoFirstMiddlesAndLastWithRisingSequence) {
    PacketHeader h;
    h.sim = "13912345678";
    h.dataType = DataType::PFrame;
    h.payloadType = kH264;
    Bytes frame(950 * 2 + 10);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::uint16_t sequence = 65534;
    const auto packets = packetize(h, frame, sequence);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(sequence, 1);  // wrapped
    const SubPackage subs[] = {SubPackage::First, SubPackage::Middle, SubPackage::Last};
    const std::uint16_t seqs[] = {65534, 65535, 0};
    Bytes joined;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const DecodeResult r = decodePacket(packets[i], SimLayout::Bcd6, true);
        ASSERT_EQ(r.status, DecodeStatus::Ok);
        EXPECT_EQ(r.packet.header.subPackage, subs[i]);
        EXPECT_EQ(r.packet.header.sequence, seqs[i]);
        EXPECT_EQ(r.packet.header.marker, i == 2);
        joined.insert(joined.end(), r.packet.body.begin(), r.packet.body.end());
    }
    EXPECT_EQ(joined, frame);
    EXPECT_TRUE(packetize(h, {}, sequence).empty());
    const auto one = packetize(h, Bytes(950, 1), sequence);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(decodePacket(one[0], SimLayout::Bcd6, true).packet.header.subPackage,
              SubPackage::Atomic);
}

TEST(PayloadTypes, NameTheCodecsThatCanBeRecorded) {
    EXPECT_EQ(payloadType(98).codec, "h264");
    EXPECT_EQ(payloadType(99).codec, "h265");
    EXPECT_EQ(payloadType(6).codec, "pcm_alaw");
    EXPECT_EQ(payloadType(7).codec, "pcm_mulaw");
    EXPECT_EQ(payloadType(8).codec, "g726");
    EXPECT_EQ(payloadType(19).codec, "aac");
    EXPECT_EQ(payloadType(98).media, MediaClass::Video);
    EXPECT_EQ(payloadType(28).media, MediaClass::Audio);
    EXPECT_EQ(payloadType(28).codec, "");
    EXPECT_EQ(payloadType(91).media, MediaClass::Transparent);
    EXPECT_EQ(payloadType(50).media, MediaClass::Unknown);
    EXPECT_EQ(payloadType(127).name, "unknown");
}

}  // namespace
}  // namespace jt1078
