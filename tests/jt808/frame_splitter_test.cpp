#include "jt808/frame_splitter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "jt808/frame.h"
#include "jt808/message_ids.h"

namespace jt808 {
namespace {

std::vector<std::uint8_t> heartbeat(std::uint16_t serial, std::size_t bodyBytes = 0) {
    Header h;
    h.msgId = msg::kHeartbeat;
    h.phone = "013912344329";
    h.serial = serial;
    return encodeFrame(h, std::vector<std::uint8_t>(bodyBytes, 0x20));
}

// Feeds the stream in pieces of `piece` bytes and returns, in order, the
// serials of the frames that decode and the number of TooLong reports.
std::pair<std::vector<int>, int> split(FrameSplitter& s, const std::vector<std::uint8_t>& stream,
                                       std::size_t piece) {
    std::vector<int> serials;
    int tooLong = 0;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        s.append(std::span(stream).subspan(at, std::min(piece, stream.size() - at)));
        std::vector<std::uint8_t> frame;
        for (;;) {
            const auto st = s.next(frame);
            if (st == FrameSplitter::Status::NeedMore) {
                break;
            }
            if (st == FrameSplitter::Status::TooLong) {
                ++tooLong;
                continue;
            }
            const auto d = decodeFrame(frame);
            serials.push_back(d.ok() ? d.message->header.serial : -1);
        }
    }
    return {serials, tooLong};
}

void add(std::vector<std::uint8_t>& stream, const std::vector<std::uint8_t>& bytes) {
    stream.insert(stream.end(), bytes.begin(), bytes.end());
}

TEST(Jt808Splitter, FramesSurviveAnyCutOfTheStream) {
    std::vector<std::uint8_t> stream;
    for (std::uint16_t i = 1; i <= 5; ++i) {
        add(stream, heartbeat(i));
    }
    for (std::size_t piece : {1u, 2u, 7u, 13u, 1000u}) {
        FrameSplitter s;
        EXPECT_EQ(split(s, stream, piece).first, (std::vector<int>{1, 2, 3, 4, 5})) << piece;
        EXPECT_EQ(s.bufferedBytes(), 0u);
    }
}

TEST(Jt808Splitter, NoiseBetweenFramesIsSkipped) {
    std::vector<std::uint8_t> stream = {'G', 'E', 'T', ' ', '/'};
    add(stream, heartbeat(1));
    add(stream, {0x00, 0xff, 0x7d});
    add(stream, heartbeat(2));
    // Back to back with one shared delimiter, as some terminals send.
    auto third = heartbeat(3);
    third.erase(third.begin());
    add(stream, third);
    FrameSplitter s;
    EXPECT_EQ(split(s, stream, 4).first, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(s.skippedBytes(), 8u);
}

TEST(Jt808Splitter, OversizeFrameIsDroppedAndTheNextOneRead) {
    std::vector<std::uint8_t> stream;
    add(stream, heartbeat(1));
    stream.push_back(kFlag);
    stream.insert(stream.end(), 100'000, 0x41);
    stream.push_back(kFlag);
    add(stream, heartbeat(2));
    FrameSplitter s(256);
    const auto [serials, tooLong] = split(s, stream, 4096);
    EXPECT_EQ(serials, (std::vector<int>{1, 2}));
    EXPECT_EQ(tooLong, 1);
    EXPECT_EQ(s.droppedFrames(), 1u);
}

TEST(Jt808Splitter, AFrameOfExactlyTheLimitPassesAndOneByteMoreDoesNotHoweverItIsCut) {
    // Frames whose escaped bytes between the flags are the limit and one
    // more; the limit is set to the first one's size.
    const auto atLimit = heartbeat(1, 40);
    const std::size_t limit = atLimit.size() - 2;
    std::vector<std::uint8_t> stream;
    add(stream, atLimit);
    add(stream, heartbeat(2, 41));
    add(stream, heartbeat(3, 40));
    for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, limit, stream.size()}) {
        FrameSplitter s(limit);
        const auto [serials, tooLong] = split(s, stream, piece);
        EXPECT_EQ(serials, (std::vector<int>{1, 3})) << "pieces of " << piece;
        EXPECT_EQ(tooLong, 1) << "pieces of " << piece;
    }
}

TEST(Jt808Splitter, EndlessFrameKeepsMemoryBounded) {
    FrameSplitter s(512);
    const std::vector<std::uint8_t> flag = {kFlag};
    s.append(flag);
    const std::vector<std::uint8_t> chunk(4096, 0x41);
    std::vector<std::uint8_t> frame;
    int tooLong = 0;
    for (int i = 0; i < 256; ++i) {
        s.append(chunk);
        while (s.next(frame) == FrameSplitter::Status::TooLong) {
            ++tooLong;
        }
        ASSERT_LE(s.bufferedBytes(), 512u);
    }
    EXPECT_EQ(tooLong, 1);
}

TEST(Jt808Splitter, BrokenFrameDoesNotHideTheNext) {
    // A frame cut off mid-way (the terminal lost its connection state) and
    // then a whole one: the cut one fails to decode, the next one is read.
    auto cut = heartbeat(1, 20);
    cut.resize(cut.size() - 4);
    std::vector<std::uint8_t> stream = cut;
    add(stream, heartbeat(2));
    FrameSplitter s;
    EXPECT_EQ(split(s, stream, 3).first, (std::vector<int>{-1, 2}));
}

// What a splitter gave: each event's status and escaped bytes, in order.
struct Events {
    std::vector<std::pair<FrameSplitter::Status, std::vector<std::uint8_t>>> list;
    std::uint64_t skipped = 0;
    std::uint64_t dropped = 0;
    std::size_t buffered = 0;
    bool operator==(const Events&) const = default;
};

Events throughQueue(const std::vector<std::uint8_t>& stream, const std::vector<std::size_t>& cuts,
                    std::size_t limit) {
    FrameSplitter s(limit);
    Events out;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : stream.size();
        s.append(std::span(stream).subspan(from, to - from));
        from = to;
        std::vector<std::uint8_t> frame;
        for (FrameSplitter::Status st; (st = s.next(frame)) != FrameSplitter::Status::NeedMore;) {
            out.list.emplace_back(
                st, st == FrameSplitter::Status::Frame ? frame : std::vector<std::uint8_t>{});
        }
    }
    out.skipped = s.skippedBytes();
    out.dropped = s.droppedFrames();
    out.buffered = s.bufferedBytes();
    return out;
}

Events inPlace(const std::vector<std::uint8_t>& stream, const std::vector<std::size_t>& cuts,
               std::size_t limit) {
    FrameSplitter s(limit);
    Events out;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : stream.size();
        // Each piece in a buffer of its own that is overwritten after the
        // call, as the session's shared read buffer is: a frame passed
        // where it lies must not be needed after.
        std::vector<std::uint8_t> piece(stream.begin() + static_cast<std::ptrdiff_t>(from),
                                        stream.begin() + static_cast<std::ptrdiff_t>(to));
        from = to;
        s.split(piece, [&](FrameSplitter::Status st, std::span<const std::uint8_t> frame) {
            out.list.emplace_back(st, std::vector<std::uint8_t>(frame.begin(), frame.end()));
            return true;
        });
        std::fill(piece.begin(), piece.end(), kFlag);
    }
    out.skipped = s.skippedBytes();
    out.dropped = s.droppedFrames();
    out.buffered = s.bufferedBytes();
    return out;
}

TEST(Jt808Splitter, InPlaceGivesTheQueuesFramesWhereverTheStreamIsCut) {
    // Frames with escapes (at their first and last bytes among others),
    // noise, shared delimiters, empty frames and frames over the limit, in
    // random order, cut at random places and at every place.
    std::mt19937 random(808);
    auto escaped = heartbeat(7, 30);
    std::vector<std::uint8_t> withEscapes = {kFlag, kEscape, 0x02, kEscape, 0x01};
    withEscapes.insert(withEscapes.end(), escaped.begin() + 1, escaped.end() - 1);
    withEscapes.insert(withEscapes.end(), {kEscape, 0x02, kFlag});
    const std::vector<std::vector<std::uint8_t>> pieces = {
        heartbeat(1),
        heartbeat(2, 60),
        withEscapes,
        {kFlag, kFlag},
        {0x00, 0xff, kEscape, 0x41},
        std::vector<std::uint8_t>(300, 0x41),
        {kFlag},
    };
    constexpr std::size_t kLimit = 128;
    for (int round = 0; round < 300; ++round) {
        std::vector<std::uint8_t> stream;
        const int count = 1 + static_cast<int>(random() % 12);
        for (int i = 0; i < count; ++i) {
            auto piece = pieces[random() % pieces.size()];
            if (random() % 4 == 0 && piece.size() > 1 && piece.front() == kFlag) {
                piece.erase(piece.begin());  // shares the previous one's 0x7e
            }
            add(stream, piece);
        }
        std::vector<std::size_t> cuts;
        for (std::size_t at = 0; at < stream.size(); at += 1 + random() % 40) {
            cuts.push_back(at);
        }
        SCOPED_TRACE(round);
        const Events expected = throughQueue(stream, cuts, kLimit);
        EXPECT_EQ(inPlace(stream, cuts, kLimit), expected);
        EXPECT_EQ(inPlace(stream, {}, kLimit), throughQueue(stream, {}, kLimit));
    }
    std::vector<std::uint8_t> stream;
    for (const auto& piece : pieces) {
        add(stream, piece);
    }
    for (std::size_t at = 0; at <= stream.size(); ++at) {
        SCOPED_TRACE(at);
        EXPECT_EQ(inPlace(stream, {at}, kLimit), throughQueue(stream, {at}, kLimit));
    }
}

TEST(Jt808Splitter, InPlaceFramesDecodeAndTheSplitterKeepsNoBufferAfterThem) {
    std::vector<std::uint8_t> stream;
    for (std::uint16_t i = 1; i <= 6; ++i) {
        add(stream, heartbeat(i, i * 10));
    }
    for (const std::size_t piece : {1u, 5u, 33u, 1000u}) {
        FrameSplitter s;
        std::vector<int> serials;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            s.split(std::span(stream).subspan(at, std::min(piece, stream.size() - at)),
                    [&](FrameSplitter::Status st, std::span<const std::uint8_t> frame) {
                        EXPECT_EQ(st, FrameSplitter::Status::Frame);
                        const auto d = decodeFrame(frame);
                        serials.push_back(d.ok() ? d.message->header.serial : -1);
                        return true;
                    });
        }
        EXPECT_EQ(serials, (std::vector<int>{1, 2, 3, 4, 5, 6})) << piece;
        EXPECT_EQ(s.bufferedBytes(), 0u);
    }
}

TEST(Jt808Splitter, InPlaceStopsWhereItIsTold) {
    std::vector<std::uint8_t> stream;
    for (std::uint16_t i = 1; i <= 4; ++i) {
        add(stream, heartbeat(i));
    }
    FrameSplitter s;
    int calls = 0;
    s.split(stream,
            [&](FrameSplitter::Status, std::span<const std::uint8_t>) { return ++calls < 2; });
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace jt808
