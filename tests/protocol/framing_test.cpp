// Line framing and the media datagrams.

#include <gtest/gtest.h>

#include <numeric>

#include "protocol/line_reader.h"
#include "protocol/media_datagram.h"

namespace vardo::protocol {
namespace {

std::vector<std::string> drain(LineReader& reader) {
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.next(line) == LineReader::Status::Line) {
        lines.emplace_back(line);
    }
    return lines;
}

TEST(LineReader, LinesMayArriveInAnyPieces) {
    const std::string stream = "{\"op\":\"ping\"}\n\r\nsecond\r\n\nthird\n";
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        LineReader reader;
        std::vector<std::string> lines;
        for (std::size_t i = 0; i < stream.size(); i += piece) {
            reader.append(std::string_view(stream).substr(i, piece));
            for (auto& l : drain(reader)) {
                lines.push_back(std::move(l));
            }
        }
        EXPECT_EQ(lines, (std::vector<std::string>{"{\"op\":\"ping\"}", "", "second", "", "third"}))
            << "pieces of " << piece;
        EXPECT_EQ(reader.pending(), 0u);
    }
}

TEST(LineReader, TheBoundIsSixtyFourKibibytesWithoutTheNewline) {
    const struct {
        std::size_t length;
        bool newline;
        LineReader::Status expected;
    } cases[] = {
        {kMaxLineBytes, true, LineReader::Status::Line},
        {kMaxLineBytes, false, LineReader::Status::NeedMore},
        {kMaxLineBytes + 1, true, LineReader::Status::TooLong},
        {kMaxLineBytes + 1, false, LineReader::Status::TooLong},
        {4 * kMaxLineBytes, false, LineReader::Status::TooLong},
    };
    for (const auto& c : cases) {
        LineReader reader;
        reader.append(std::string(c.length, 'x') + (c.newline ? "\n" : ""));
        std::string_view line;
        EXPECT_EQ(reader.next(line), c.expected) << c.length << (c.newline ? " + newline" : "");
    }
}

TEST(LineReader, AnOverlongLineEndsTheStream) {
    LineReader reader(8);
    reader.append("ok\n0123456789\nlater\n");
    std::string_view line;
    ASSERT_EQ(reader.next(line), LineReader::Status::Line);
    EXPECT_EQ(line, "ok");
    EXPECT_EQ(reader.next(line), LineReader::Status::TooLong);
    reader.append("more\n");
    EXPECT_EQ(reader.next(line), LineReader::Status::TooLong);
}

// A connection that a line ends must not lose the lines behind it to the
// next reader of the buffer, nor go on past an overlong one.
TEST(LineReader, ForEachLineStopsWhereAskedAndKeepsTheRest) {
    LineReader reader(8);
    reader.append("one\n\ntwo\nthree\npart");
    std::vector<std::string> seen;
    const auto untilTwo = [&](std::string_view line) {
        seen.emplace_back(line);
        return line != "two";
    };
    EXPECT_EQ(reader.forEachLine(untilTwo), LineReader::Status::Line);
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "", "two"}));
    EXPECT_EQ(reader.forEachLine(untilTwo), LineReader::Status::NeedMore);
    EXPECT_EQ(seen.back(), "three");
    EXPECT_EQ(reader.pending(), 4u);

    reader.append("0123456789\nafter\n");
    seen.clear();
    EXPECT_EQ(reader.forEachLine(untilTwo), LineReader::Status::TooLong);
    EXPECT_TRUE(seen.empty());
}

TEST(MediaDatagram, HeadersSurviveTheRoundTrip) {
    const std::vector<std::uint8_t> payload = {0xFF, 0xD8, 0x00, 0x01};
    const MediaHeader header{MediaKind::Audio, 0xDEADBEEF, 77, 0x0102030405060708ull, 2, 3};
    const auto bytes = encodeMediaDatagram(header, payload);
    ASSERT_EQ(bytes.size(), kMediaHeaderBytes + payload.size());
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "VRDM");
    EXPECT_EQ(bytes[8], 0xDE);  // big-endian stream
    const auto decoded = decodeMediaDatagram(bytes);
    ASSERT_TRUE(decoded.datagram) << decoded.error;
    EXPECT_EQ(decoded.datagram->header, header);
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), decoded.datagram->payload.begin(),
                           decoded.datagram->payload.end()));
}

TEST(MediaDatagram, KeyFrameBitLeavesTheRestOfTheReservedFieldAsBefore) {
    const std::vector<std::uint8_t> payload = {0, 0, 0, 1, 0x65};
    MediaHeader header{MediaKind::Video, 5, 6, 7, 0, 1};
    header.keyframe = true;
    auto bytes = encodeMediaDatagram(header, payload);
    EXPECT_EQ(bytes[6], 0x01);
    EXPECT_EQ(bytes[7], 0x00);
    EXPECT_EQ(decodeMediaDatagram(bytes).datagram->header, header);
    // A first-version sender leaves the field 0; bits a later version sets
    // are not a key frame.
    bytes[6] = 0xFE;
    bytes[7] = 0xFF;
    const auto later = decodeMediaDatagram(bytes);
    ASSERT_TRUE(later.datagram);
    EXPECT_FALSE(later.datagram->header.keyframe);
    for (const auto& d :
         fragmentFrame(MediaKind::Video, 1, 2, 3, std::vector<std::uint8_t>(3000, 0x11), true)) {
        EXPECT_TRUE(decodeMediaDatagram(d).datagram->header.keyframe);
    }
}

TEST(MediaDatagram, LyingOrBrokenDatagramsAreDropped) {
    const std::vector<std::uint8_t> one = {1};
    const auto good = encodeMediaDatagram(MediaHeader{}, one);
    const auto changed = [&](std::size_t at, std::uint8_t value) {
        auto copy = good;
        copy[at] = value;
        return copy;
    };
    const struct {
        std::vector<std::uint8_t> bytes;
        const char* error;
    } cases[] = {
        {{}, "too short"},
        {std::vector<std::uint8_t>(good.begin(), good.begin() + kMediaHeaderBytes), "too short"},
        {encodeMediaDatagram(MediaHeader{}, std::vector<std::uint8_t>(kMaxDatagramBytes, 0)),
         "too long"},
        {changed(0, 'X'), "bad magic"},
        {changed(4, 2), "unsupported version"},
        {changed(5, 0), "unknown media kind"},
        {changed(5, 3), "unknown media kind"},
        {changed(27, 0), "fragment index out of range"},                          // count 0
        {encodeMediaDatagram(MediaHeader{MediaKind::Video, 1, 1, 0, 3, 3}, one),  // index = count
         "fragment index out of range"},
    };
    for (const auto& c : cases) {
        const auto decoded = decodeMediaDatagram(c.bytes);
        EXPECT_FALSE(decoded.datagram.has_value()) << c.error;
        EXPECT_EQ(decoded.error.find(c.error) == std::string::npos, false)
            << "expected '" << c.error << "', got '" << decoded.error << "'";
    }
}

TEST(MediaDatagram, RegistrationCarriesTheMediaKey) {
    const auto bytes = encodeRegister(MediaKey{0x01020304});
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{'V', 'R', 'D', 'R', 1, 2, 3, 4}));
    EXPECT_EQ(decodeRegister(bytes), MediaKey{0x01020304});
    auto longer = bytes;
    longer.push_back(0);
    EXPECT_FALSE(decodeRegister(longer));
    EXPECT_FALSE(decodeRegister(std::span(bytes).first(7)));
    EXPECT_FALSE(decodeRegister(encodeMediaDatagram(MediaHeader{}, bytes)));
}

TEST(MediaDatagram, WideKeysTakeAllSixtyFourBitsAndKeepTheirWidth) {
    const MediaKey wide{0x8877665544332211, true};
    const auto bytes = encodeRegister(wide);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{'V', 'R', 'D', 'R', 0x88, 0x77, 0x66, 0x55, 0x44,
                                                0x33, 0x22, 0x11}));
    EXPECT_EQ(decodeRegister(bytes), wide);
    // A small value in the wide form is still a wide key: the server tells
    // a version-1 client's key from a version-2 one by the width.
    EXPECT_EQ(decodeRegister(encodeRegister(MediaKey{42, true})), (MediaKey{42, true}));
    EXPECT_EQ(encodeRegister(MediaKey{42, true}).size(), kWideRegisterBytes);
    // A narrow key never carries more than 32 bits.
    EXPECT_EQ(decodeRegister(encodeRegister(MediaKey{0x1'0000'0007, false})), MediaKey{7});
    for (const std::size_t size : {9, 10, 11, 13, 16}) {
        std::vector<std::uint8_t> other(size, 0);
        std::copy(bytes.begin(), bytes.begin() + 4, other.begin());
        EXPECT_FALSE(decodeRegister(other)) << size;
    }
    auto badMagic = bytes;
    badMagic[3] = 'M';
    EXPECT_FALSE(decodeRegister(badMagic));
}

TEST(MediaDatagram, FramesAreCutIntoDatagramsThatFit) {
    for (const std::size_t size :
         {std::size_t{1}, std::size_t{1372}, std::size_t{1373}, std::size_t{50'000}}) {
        std::vector<std::uint8_t> frame(size);
        std::iota(frame.begin(), frame.end(), 0);
        const auto datagrams = fragmentFrame(MediaKind::Video, 5, 9, 1234, frame);
        ASSERT_EQ(datagrams.size(), (size + 1371) / 1372) << size;
        std::vector<std::uint8_t> joined;
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            // All but the last fill a datagram: the frame goes out as
            // segments of one size in one call.
            if (i + 1 < datagrams.size()) {
                EXPECT_EQ(datagrams[i].size(), kMaxDatagramBytes);
            }
            EXPECT_LE(datagrams[i].size(), kMaxDatagramBytes);
            const auto d = decodeMediaDatagram(datagrams[i]);
            ASSERT_TRUE(d.datagram) << d.error;
            EXPECT_EQ(d.datagram->header.fragmentIndex, i);
            EXPECT_EQ(d.datagram->header.fragmentCount, datagrams.size());
            EXPECT_EQ(d.datagram->header.sequence, 9u);
            joined.insert(joined.end(), d.datagram->payload.begin(), d.datagram->payload.end());
        }
        EXPECT_EQ(joined, frame);
    }
    EXPECT_TRUE(fragmentFrame(MediaKind::Video, 1, 1, 0, {}).empty());
}

}  // namespace
}  // namespace vardo::protocol
