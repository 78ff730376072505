#include "jt1078/frame_reassembler.h"

#include <gtest/gtest.h>

#include <vector>

#include "jt1078/packetizer.h"

namespace jt1078 {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Decoded {
    Bytes bytes;  // the packet, owned
    Packet packet;
};

// Packets of one frame, decoded again so that their bodies point into
// bytes the test owns.
std::vector<Decoded> pieces(DataType type, std::size_t size, std::uint16_t& sequence,
                            std::uint64_t timestamp, const std::string& sim = "13912345678",
                            std::uint8_t channel = 1) {
    PacketHeader h;
    h.sim = sim;
    h.channel = channel;
    h.dataType = type;
    h.payloadType = type == DataType::Audio ? 6 : 98;
    h.timestampMs = timestamp;
    Bytes frame(size);
    for (std::size_t i = 0; i < size; ++i) {
        frame[i] = static_cast<std::uint8_t>(i + timestamp);
    }
    std::vector<Decoded> out;
    for (Bytes& p : packetize(h, frame, sequence)) {
        out.push_back(Decoded{std::move(p), {}});
    }
    for (Decoded& d : out) {
        d.packet = decodePacket(d.bytes, SimLayout::Bcd6, true).packet;
    }
    return out;
}

Bytes frameBytes(std::size_t size, std::uint64_t timestamp) {
    Bytes frame(size);
    for (std::size_t i = 0; i < size; ++i) {
        frame[i] = static_cast<std::uint8_t>(i + timestamp);
    }
    return frame;
}

std::vector<Frame> feed(FrameReassembler& r, const std::vector<const Decoded*>& packets) {
    std::vector<Frame> frames;
    for (const Decoded* d : packets) {
        Frame f;
        if (r.add(d->packet, f)) {
            frames.push_back(std::move(f));
        }
    }
    return frames;
}

std::vector<const Decoded*> all(const std::vector<Decoded>& v) {
    std::vector<const Decoded*> out;
    for (const Decoded& d : v) {
        out.push_back(&d);
    }
    return out;
}

TEST(FrameReassembler, JoinsSubPackagesAndPassesAtomicFramesWhole) {
    std::uint16_t seq = 100;
    const auto big = pieces(DataType::IFrame, 3000, seq, 40);
    const auto small = pieces(DataType::PFrame, 500, seq, 80);
    FrameReassembler r;
    std::vector<const Decoded*> order = all(big);
    order.push_back(&small[0]);
    const auto frames = feed(r, order);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, frameBytes(3000, 40));
    EXPECT_TRUE(frames[0].keyframe());
    EXPECT_EQ(frames[0].timestampMs, 40u);
    EXPECT_EQ(frames[0].firstSequence, 100);
    EXPECT_EQ(frames[1].bytes, frameBytes(500, 80));
    EXPECT_FALSE(frames[1].keyframe());
    EXPECT_EQ(r.pendingBytes(), 0u);
}

// Each way a frame can lose a piece: the frame goes, the next one comes whole.
TEST(FrameReassembler, AMissingOrMisplacedPieceDropsOnlyItsFrame) {
    struct Case {
        const char* what;
        std::vector<int> order;  // indexes into the first frame's 4 pieces
    };
    const Case cases[] = {
        {"middle lost", {0, 1, 3}},
        {"first lost", {1, 2, 3}},
        {"last lost", {0, 1, 2}},
        {"two swapped", {0, 2, 1, 3}},
        {"piece repeated", {0, 1, 1, 2, 3}},
    };
    for (const Case& c : cases) {
        std::uint16_t seq = 65533;  // the numbers wrap inside the frame
        const auto first = pieces(DataType::IFrame, 3500, seq, 0);
        ASSERT_EQ(first.size(), 4u);
        const auto second = pieces(DataType::PFrame, 2000, seq, 40);
        std::vector<const Decoded*> order;
        for (const int i : c.order) {
            order.push_back(&first[static_cast<std::size_t>(i)]);
        }
        for (const Decoded* d : all(second)) {
            order.push_back(d);
        }
        FrameReassembler r;
        const auto frames = feed(r, order);
        ASSERT_EQ(frames.size(), 1u) << c.what;
        EXPECT_EQ(frames[0].bytes, frameBytes(2000, 40)) << c.what;
        EXPECT_EQ(r.pendingBytes(), 0u) << c.what;
    }
}

TEST(FrameReassembler, AudioBetweenVideoPiecesOfOneCounterIsNoGap) {
    std::uint16_t seq = 0;
    auto video = pieces(DataType::IFrame, 2000, seq, 0);  // sequences 0, 1, 2
    // A shared counter: the audio takes number 2 between the video's
    // pieces 1 and 2, which then carries 3.
    std::uint16_t audioSeq = 2;
    const auto audio = pieces(DataType::Audio, 320, audioSeq, 0);
    video[2].bytes[7] = 3;
    video[2].packet = decodePacket(video[2].bytes, SimLayout::Bcd6, true).packet;
    FrameReassembler r;
    const auto frames = feed(r, {&video[0], &video[1], &audio[0], &video[2]});
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_FALSE(frames[0].video());
    EXPECT_EQ(frames[1].bytes, frameBytes(2000, 0));
}

TEST(FrameReassembler, KeepsTerminalsAndChannelsApart) {
    std::uint16_t a = 0;
    std::uint16_t b = 0;
    std::uint16_t c = 0;
    const auto one = pieces(DataType::IFrame, 2000, a, 0, "111", 1);
    const auto two = pieces(DataType::IFrame, 2000, b, 0, "222", 1);
    const auto three = pieces(DataType::IFrame, 1900, c, 0, "111", 2);
    FrameReassembler r;
    const auto frames =
        feed(r, {&one[0], &two[0], &three[0], &one[1], &two[1], &three[1], &one[2], &two[2]});
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].channel, 2);
    EXPECT_EQ(frames[0].bytes, frameBytes(1900, 0));
    EXPECT_EQ(frames[1].sim, "000000000111");
    EXPECT_EQ(frames[1].channel, 1);
    EXPECT_EQ(frames[2].sim, "000000000222");
}

TEST(FrameReassembler, BoundsFramesStreamsAndMemory) {
    ReassemblerLimits limits;
    limits.maxFrameBytes = 2000;
    limits.maxStreams = 4;
    FrameReassembler r(limits);
    std::uint16_t seq = 0;
    const auto tooBig = pieces(DataType::IFrame, 3000, seq, 0);
    EXPECT_TRUE(feed(r, all(tooBig)).empty());
    EXPECT_EQ(r.counters().oversize, 1u);
    EXPECT_EQ(r.pendingBytes(), 0u);

    // Ten terminals each start a frame: only four streams are kept.
    std::vector<std::vector<Decoded>> starts;
    for (int i = 0; i < 10; ++i) {
        std::uint16_t s = 0;
        starts.push_back(pieces(DataType::IFrame, 1500, s, 0, std::to_string(i)));
        Frame f;
        r.add(starts.back()[0].packet, f);
    }
    EXPECT_EQ(r.streams(), 4u);
    EXPECT_EQ(r.counters().evicted, 7u);  // the first stream and six of the ten
    EXPECT_EQ(r.pendingBytes(), 4 * 950u);
    // The newest still completes.
    Frame f;
    EXPECT_TRUE(r.add(starts.back()[1].packet, f));
    EXPECT_EQ(f.bytes, frameBytes(1500, 0));
    r.forget("000000000009", 1);
    EXPECT_EQ(r.streams(), 3u);
    EXPECT_EQ(r.pendingBytes(), 3 * 950u);
}

TEST(FrameReassembler, TransparentDataAndEmptyFramesAreNotDelivered) {
    FrameReassembler r;
    PacketHeader h;
    h.dataType = DataType::Transparent;
    Packet p;
    p.header = h;
    const Bytes body = {1, 2};
    p.body = body;
    Frame f;
    EXPECT_FALSE(r.add(p, f));
    p.header.dataType = DataType::PFrame;
    p.body = {};
    EXPECT_FALSE(r.add(p, f));
    EXPECT_EQ(r.counters().transparent, 1u);
    EXPECT_EQ(r.counters().frames, 0u);
}

}  // namespace
}  // namespace jt1078
