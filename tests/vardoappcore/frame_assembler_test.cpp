// Reassembly of frames from datagrams that come late, twice, out of order
// or not at all.

#include "vardoappcore/frame_assembler.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vardo {
namespace {

using protocol::MediaHeader;
using protocol::MediaKind;

struct Fragment {
    std::uint32_t sequence;
    std::uint16_t index;
    std::uint16_t count;
    std::uint64_t timestamp = 0;  // 0: the sequence number times 100
};

struct Delivered {
    std::uint32_t sequence;
    std::string bytes;
    bool operator==(const Delivered&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Delivered& d) {
    return os << "{" << d.sequence << ", \"" << d.bytes << "\"}";
}

// A fragment's payload names it: "<sequence>.<index>|".
std::string payloadOf(const Fragment& f) {
    return std::to_string(f.sequence) + "." + std::to_string(f.index) + "|";
}

struct Outcome {
    std::vector<Delivered> frames;
    AssemblerCounters counters;
};

Outcome feed(const std::vector<Fragment>& fragments) {
    FrameAssembler assembler;
    Outcome out;
    for (const Fragment& f : fragments) {
        const MediaHeader h{MediaKind::Video, 7,
                            f.sequence,       f.timestamp != 0 ? f.timestamp : f.sequence * 100ULL,
                            f.index,          f.count};
        const std::string payload = payloadOf(f);
        const auto bytes =
            std::span(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
        if (auto frame = assembler.add(h, bytes)) {
            EXPECT_EQ(frame->stream, 7u);
            EXPECT_EQ(frame->timestampMs, f.timestamp != 0 ? f.timestamp : f.sequence * 100ULL);
            out.frames.push_back(
                {frame->sequence, std::string(frame->bytes.begin(), frame->bytes.end())});
        }
    }
    out.counters = assembler.counters();
    return out;
}

struct Counts {
    std::uint64_t incomplete = 0, late = 0, duplicate = 0, inconsistent = 0, outOfWindow = 0,
                  restarts = 0, missing = 0;
};

TEST(FrameAssembler, DeliversWholeFramesOnceWhateverTheOrder) {
    const struct {
        const char* name;
        std::vector<Fragment> in;
        std::vector<Delivered> out;
        Counts counts;
    } cases[] = {
        {"one fragment", {{1, 0, 1}}, {{1, "1.0|"}}, {}},
        {"in order", {{1, 0, 3}, {1, 1, 3}, {1, 2, 3}}, {{1, "1.0|1.1|1.2|"}}, {}},
        {"out of order", {{1, 2, 3}, {1, 0, 3}, {1, 1, 3}}, {{1, "1.0|1.1|1.2|"}}, {}},
        {"a duplicate fragment is ignored",
         {{1, 0, 2}, {1, 0, 2}, {1, 1, 2}},
         {{1, "1.0|1.1|"}},
         {.duplicate = 1}},
        {"a fragment of a delivered frame is late",
         {{1, 0, 1}, {1, 0, 1}},
         {{1, "1.0|"}},
         {.late = 1}},
        {"an incomplete frame goes when a later one completes",
         {{1, 0, 2}, {2, 0, 1}, {1, 1, 2}},
         {{2, "2.0|"}},
         {.incomplete = 1, .late = 1}},
        {"an older frame that completes first is delivered first",
         {{2, 0, 2}, {1, 0, 1}, {2, 1, 2}},
         {{1, "1.0|"}, {2, "2.0|2.1|"}},
         {}},
        {"frames never seen count as missing",
         {{1, 0, 1}, {4, 0, 1}},
         {{1, "1.0|"}, {4, "4.0|"}},
         {.missing = 2}},
        {"a fragment count that contradicts the first is ignored",
         {{1, 0, 2}, {1, 1, 3}, {1, 1, 2}},
         {{1, "1.0|1.1|"}},
         {.inconsistent = 1}},
        {"a timestamp that contradicts the first is ignored",
         {{1, 0, 2, 100}, {1, 1, 2, 999}},
         {},
         {.inconsistent = 1}},
        {"more fragments than any frame needs", {{1, 0, 5000}}, {}, {.inconsistent = 1}},
        {"sequence numbers wrap",
         {{0xFFFFFFFF, 0, 1}, {0, 0, 1}, {1, 0, 1}},
         {{0xFFFFFFFF, "4294967295.0|"}, {0, "0.0|"}, {1, "1.0|"}},
         {}},
        {"a sender that starts over is followed after a few frames",
         {{5000, 0, 1}, {3, 0, 1}, {4, 0, 1}, {5, 0, 1}, {6, 0, 1}},
         {{5000, "5000.0|"}, {5, "5.0|"}, {6, "6.0|"}},
         {.outOfWindow = 2, .restarts = 1}},
        {"a sender that jumps ahead is followed after a few frames",
         {{1, 0, 1}, {9000, 0, 2}, {9000, 1, 2}, {9001, 0, 1}, {9002, 0, 1}, {9003, 0, 1}},
         {{1, "1.0|"}, {9002, "9002.0|"}, {9003, "9003.0|"}},
         {.outOfWindow = 3, .restarts = 1}},
        // One stray or forged datagram far from the window neither moves it
        // nor makes the real frames after it late.
        {"a lone frame far ahead is dropped",
         {{10, 0, 1}, {1009, 0, 1}, {11, 0, 1}, {12, 0, 1}},
         {{10, "10.0|"}, {11, "11.0|"}, {12, "12.0|"}},
         {.outOfWindow = 1}},
        {"a lone frame far behind is dropped",
         {{5000, 0, 1}, {3, 0, 1}, {5001, 0, 1}},
         {{5000, "5000.0|"}, {5001, "5001.0|"}},
         {.outOfWindow = 1}},
        {"stray frames broken up by a real one start nothing",
         {{10, 0, 1}, {2000, 0, 1}, {2001, 0, 1}, {11, 0, 1}, {2002, 0, 1}, {12, 0, 1}},
         {{10, "10.0|"}, {11, "11.0|"}, {12, "12.0|"}},
         {.outOfWindow = 3}},
        {"a loss of some seconds is within the window",
         {{10, 0, 1}, {138, 0, 1}, {11, 0, 1}},
         {{10, "10.0|"}, {138, "138.0|"}},
         {.late = 1, .missing = 127}},
    };
    for (const auto& c : cases) {
        const Outcome out = feed(c.in);
        EXPECT_EQ(out.frames, c.out) << c.name;
        const AssemblerCounters& k = out.counters;
        EXPECT_EQ(k.delivered, c.out.size()) << c.name;
        EXPECT_EQ(k.incomplete, c.counts.incomplete) << c.name;
        EXPECT_EQ(k.late, c.counts.late) << c.name;
        EXPECT_EQ(k.duplicate, c.counts.duplicate) << c.name;
        EXPECT_EQ(k.inconsistent, c.counts.inconsistent) << c.name;
        EXPECT_EQ(k.outOfWindow, c.counts.outOfWindow) << c.name;
        EXPECT_EQ(k.restarts, c.counts.restarts) << c.name;
        EXPECT_EQ(k.missing, c.counts.missing) << c.name;
    }
}

TEST(FrameAssembler, FramesInProgressAreBoundedOldestFirst) {
    FrameAssembler assembler(AssemblerLimits{.maxPendingFrames = 4});
    const std::uint8_t byte = 1;
    for (std::uint32_t seq = 1; seq <= 10; ++seq) {
        EXPECT_FALSE(assembler.add({MediaKind::Video, 1, seq, seq, 0, 2}, std::span(&byte, 1)));
        EXPECT_LE(assembler.pendingFrames(), 4u);
    }
    EXPECT_EQ(assembler.counters().incomplete, 6u);  // 1 to 6 made room
    // The newest four are still there: 7 completes.
    const auto frame = assembler.add({MediaKind::Video, 1, 7, 7, 1, 2}, std::span(&byte, 1));
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->bytes.size(), 2u);
}

TEST(FrameAssembler, ResetForgetsFramesInProgressAndTheLastSequence) {
    FrameAssembler assembler;
    const std::uint8_t byte = 1;
    ASSERT_TRUE(assembler.add({MediaKind::Audio, 1, 10, 0, 0, 1}, std::span(&byte, 1)));
    EXPECT_FALSE(assembler.add({MediaKind::Audio, 1, 11, 0, 0, 2}, std::span(&byte, 1)));
    assembler.reset();
    EXPECT_EQ(assembler.pendingFrames(), 0u);
    // Sequence 5 would be late before the reset.
    EXPECT_TRUE(assembler.add({MediaKind::Audio, 1, 5, 0, 0, 1}, std::span(&byte, 1)));
}

// A frame of `count` fragments of `size` bytes, all but the last sent.
void sendAllButOne(FrameAssembler& a, std::uint32_t seq, std::uint16_t count, std::size_t size) {
    const std::vector<std::uint8_t> payload(size, 0xAB);
    for (std::uint16_t i = 0; i + 1 < count; ++i) {
        EXPECT_FALSE(a.add({MediaKind::Video, 1, seq, seq, i, count}, payload));
    }
}

TEST(FrameAssembler, NearlyCompleteFramesCannotHoldMoreThanTheStreamsCap) {
    // The nearly complete frames of 4096 fragments that pinned hundreds of
    // megabytes: a stream holds at most its cap, dropping the oldest.
    const AssemblerLimits limits{.maxPendingBytes = 1024 * 1024};
    FrameAssembler a(limits);
    for (std::uint32_t seq = 1; seq <= 8; ++seq) {
        sendAllButOne(a, seq, 400, 1372);  // about 550 kB each
        EXPECT_LE(a.pendingBytes(), limits.maxPendingBytes);
    }
    EXPECT_EQ(a.counters().evicted, 7u);
    EXPECT_EQ(a.pendingFrames(), 1u);
    // The newest is still whole and completes.
    const std::vector<std::uint8_t> last(1372, 0xAB);
    const auto frame = a.add({MediaKind::Video, 1, 8, 8, 399, 400}, last);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->bytes.size(), 400u * 1372u);
    EXPECT_EQ(a.pendingBytes(), 0u);

    // A frame bigger than the cap by itself goes as soon as it is.
    sendAllButOne(a, 9, 1000, 1372);
    EXPECT_LE(a.pendingBytes(), limits.maxPendingBytes);
}

TEST(FrameAssembler, StreamsSharingAMemoryStayWithinItsCapOldestFirst) {
    ReassemblyMemory memory(2 * 1024 * 1024);
    std::vector<std::unique_ptr<FrameAssembler>> streams;
    for (int i = 0; i < 6; ++i) {
        streams.push_back(std::make_unique<FrameAssembler>(AssemblerLimits{}, &memory));
    }
    // Each stream in turn gets a nearly complete frame of about 550 kB.
    for (std::uint32_t seq = 1; seq <= 3; ++seq) {
        for (auto& s : streams) {
            sendAllButOne(*s, seq, 400, 1372);
            EXPECT_LE(memory.used(), memory.limit());
        }
    }
    std::uint64_t evicted = 0;
    std::size_t held = 0;
    for (auto& s : streams) {
        evicted += s->counters().evicted;
        held += s->pendingBytes();
    }
    EXPECT_EQ(held, memory.used());
    EXPECT_EQ(evicted, 18u - streams.back()->pendingFrames() - streams[4]->pendingFrames() -
                           streams[3]->pendingFrames());
    // What is left are the newest: the last streams' third frames.
    EXPECT_EQ(streams[0]->pendingFrames(), 0u);
    EXPECT_EQ(streams[5]->pendingFrames(), 1u);
    const std::vector<std::uint8_t> last(1372, 0xAB);
    EXPECT_TRUE(streams[5]->add({MediaKind::Video, 1, 3, 3, 399, 400}, last).has_value());

    // An assembler that goes gives its bytes back.
    streams.clear();
    EXPECT_EQ(memory.used(), 0u);
}

}  // namespace
}  // namespace vardo
