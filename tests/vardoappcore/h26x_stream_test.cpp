// What a recording reads of an access unit: its kind and parameter sets from
// the NAL units in front of its first slice, in the layouts cameras send.

#include "vardoappcore/h26x_stream.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace vardo {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Annex B bytes from NAL units, each after a start code of `zeros` zero
// bytes and a one.
Bytes annexB(std::initializer_list<Bytes> nals, int zeros = 3) {
    Bytes out;
    for (const Bytes& nal : nals) {
        out.insert(out.end(), static_cast<std::size_t>(zeros), 0);
        out.push_back(1);
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

// H.264 NAL units: the header byte, then a few bytes of payload.
const Bytes kAud{0x09, 0xF0};
const Bytes kSps{0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x05};
const Bytes kPps{0x68, 0xCE, 0x3C, 0x80};
const Bytes kSei{0x06, 0x05, 0x04, 0xAA, 0xBB, 0xCC, 0xDD, 0x80};
const Bytes kIdr{0x65, 0x88, 0x84, 0x21, 0xA0};
const Bytes kNonIdr{0x41, 0x9A, 0x22, 0x6C};
// Slice data that happens to hold what looks like start codes and units:
// a frame damaged on the way, or an encoder without emulation prevention.
const Bytes kSliceWithLookAlikes{0x41, 0x9A, 0x00, 0x00, 0x01, 0x65, 0x00, 0x00, 0x01, 0x67, 0x11};

// H.265 NAL units: two header bytes (type << 1, then layer 0 and tid 1).
const Bytes kVps265{0x40, 0x01, 0x0C, 0x01};
const Bytes kSps265{0x42, 0x01, 0x01, 0x60};
const Bytes kPps265{0x44, 0x01, 0xC1, 0x72};
const Bytes kIdr265{0x26, 0x01, 0xAF, 0x09};     // IDR_W_RADL (19)
const Bytes kCra265{0x2A, 0x01, 0xAD, 0x10};     // CRA (21)
const Bytes kTrailN265{0x00, 0x01, 0xD0, 0x20};  // TRAIL_N (0): header byte 0x00

TEST(H26xStreamTest, TheKindAndSetsComeFromTheUnitsBeforeTheFirstSlice) {
    const struct {
        const char* name;
        H26xCodec codec;
        Bytes bytes;
        AccessUnitInfo want;
    } cases[] = {
        {"key frame with its sets",
         H26xCodec::H264,
         annexB({kAud, kSps, kPps, kSei, kIdr, kIdr}),
         {true, false, true, true}},
        {"four-byte start codes",
         H26xCodec::H264,
         annexB({kSps, kPps, kIdr}, 3 + 1),
         {true, false, true, true}},
        {"zeros between units",
         H26xCodec::H264,
         [] {
             Bytes b = annexB({kSps});
             b.insert(b.end(), {0, 0, 0, 0});
             const Bytes rest = annexB({kPps, kIdr});
             b.insert(b.end(), rest.begin(), rest.end());
             return b;
         }(),
         {true, false, true, true}},
        {"a picture that refers to others",
         H26xCodec::H264,
         annexB({kAud, kNonIdr, kNonIdr}),
         {false, false, false, false}},
        {"look-alikes in slice data are no units",
         H26xCodec::H264,
         annexB({kSliceWithLookAlikes}),
         {false, false, false, false}},
        {"sets alone", H26xCodec::H264, annexB({kSps, kPps}), {false, false, true, true}},
        {"bytes before the first start code",
         H26xCodec::H264,
         [] {
             Bytes b{0x65, 0x67, 0x12};
             const Bytes rest = annexB({kNonIdr});
             b.insert(b.end(), rest.begin(), rest.end());
             return b;
         }(),
         {false, false, false, false}},
        {"no start code", H26xCodec::H264, kIdr, {false, false, false, false}},
        {"a start code at the very end",
         H26xCodec::H264,
         Bytes{0, 0, 1},
         {false, false, false, false}},
        {"H.265 IDR with its sets",
         H26xCodec::H265,
         annexB({kVps265, kSps265, kPps265, kIdr265}),
         {true, true, true, true}},
        {"H.265 CRA", H26xCodec::H265, annexB({kCra265}), {true, false, false, false}},
        {"H.265 TRAIL_N, whose header starts with a zero",
         H26xCodec::H265,
         annexB({kTrailN265, kIdr265}),
         {false, false, false, false}},
    };
    for (const auto& c : cases) {
        const AccessUnitInfo got = inspectAccessUnit(c.bytes, c.codec);
        EXPECT_EQ(got.randomAccess, c.want.randomAccess) << c.name;
        EXPECT_EQ(got.vps, c.want.vps) << c.name;
        EXPECT_EQ(got.sps, c.want.sps) << c.name;
        EXPECT_EQ(got.pps, c.want.pps) << c.name;
    }
}

TEST(H26xStreamTest, KeptSetsOpenAKeyFrameThatCameWithoutThem) {
    ParameterSets sets(H26xCodec::H264);
    EXPECT_FALSE(sets.take(annexB({kAud, kSps, kPps})).randomAccess);
    ASSERT_TRUE(sets.complete());
    const Bytes bare = annexB({kIdr});
    EXPECT_TRUE(sets.take(bare).randomAccess);
    Bytes want = annexB({kSps, kPps}, 3);  // kept with four-byte start codes
    want.insert(want.end(), bare.begin(), bare.end());
    EXPECT_EQ(sets.prepend(bare), want);
    // A key frame with its own sets keeps them as they are.
    const Bytes whole = annexB({kSps, kPps, kIdr});
    EXPECT_EQ(sets.prepend(whole), whole);
}

// A set between the slices of a key frame is found while the sets are still
// incomplete: the file could not start otherwise.
TEST(H26xStreamTest, ASetBetweenSlicesOfTheFirstKeyFrameIsFound) {
    ParameterSets sets(H26xCodec::H264);
    const AccessUnitInfo info = sets.take(annexB({kSps, kIdr, kPps, kIdr}));
    EXPECT_TRUE(info.randomAccess);
    EXPECT_TRUE(info.pps);
    EXPECT_TRUE(sets.complete());

    ParameterSets h265(H26xCodec::H265);
    h265.take(annexB({kVps265, kSps265, kPps265}));
    EXPECT_TRUE(h265.complete());
    const Bytes bare = annexB({kIdr265});
    Bytes want = annexB({kVps265, kSps265, kPps265}, 3);
    want.insert(want.end(), bare.begin(), bare.end());
    EXPECT_EQ(h265.prepend(bare), want);
}

}  // namespace
}  // namespace vardo
