#include "jt1078/stream_splitter.h"

#include <gtest/gtest.h>

#include <vector>

#include "jt1078/packetizer.h"

namespace jt1078 {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes videoPackets(std::size_t frameBytes, std::uint16_t& sequence, SimLayout layout) {
    PacketHeader h;
    h.sim = "13912345678";
    h.channel = 2;
    h.dataType = DataType::IFrame;
    h.payloadType = 98;
    Bytes frame(frameBytes);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(i);
    }
    Bytes out;
    for (const Bytes& p : packetize(h, frame, sequence, layout)) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

std::vector<std::uint16_t> split(StreamSplitter& splitter, const Bytes& bytes, std::size_t chunk) {
    std::vector<std::uint16_t> sequences;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        const std::size_t n = std::min(chunk, bytes.size() - at);
        splitter.feed(std::span(bytes.data() + at, n),
                      [&](const Packet& p) { sequences.push_back(p.header.sequence); });
    }
    return sequences;
}

TEST(StreamSplitter, FindsEveryPacketHoweverTheStreamIsCut) {
    std::uint16_t sequence = 10;
    const Bytes stream = videoPackets(5000, sequence, SimLayout::Bcd6);  // 6 packets
    for (const std::size_t chunk :
         {std::size_t{1}, std::size_t{7}, std::size_t{1000}, stream.size()}) {
        StreamSplitter splitter(SimLayout::Bcd6);
        EXPECT_EQ(split(splitter, stream, chunk),
                  (std::vector<std::uint16_t>{10, 11, 12, 13, 14, 15}))
            << "chunk " << chunk;
        EXPECT_EQ(splitter.counters().skippedBytes, 0u);
        EXPECT_EQ(splitter.buffered(), 0u);
    }
}

TEST(StreamSplitter, SkipsGarbageAndABrokenPacketToTheNextMagic) {
    std::uint16_t sequence = 0;
    Bytes stream = {0x30, 0x31, 0x63, 0x00, 0x99};  // a false start
    const Bytes a = videoPackets(900, sequence, SimLayout::Bcd6);
    Bytes broken = videoPackets(900, sequence, SimLayout::Bcd6);
    broken[15] = 0x70;  // data type 7
    const Bytes c = videoPackets(900, sequence, SimLayout::Bcd6);
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), broken.begin(), broken.end());
    stream.insert(stream.end(), c.begin(), c.end());
    StreamSplitter splitter(SimLayout::Bcd6);
    EXPECT_EQ(split(splitter, stream, 13), (std::vector<std::uint16_t>{0, 2}));
    EXPECT_EQ(splitter.counters().skippedBytes, 5 + broken.size());
    EXPECT_EQ(splitter.counters().resyncs, 2u);
}

TEST(StreamSplitter, LearnsTheNewerLayoutFromTheFirstPackets) {
    std::uint16_t sequence = 0;
    const Bytes stream = videoPackets(3000, sequence, SimLayout::Bcd10);
    StreamSplitter splitter;
    EXPECT_EQ(split(splitter, stream, 100).size(), 4u);
    EXPECT_EQ(splitter.layout(), SimLayout::Bcd10);
}

TEST(StreamSplitter, KeepsLessThanOnePacketWhateverArrives) {
    StreamSplitter splitter(SimLayout::Bcd6);
    Bytes noise(100000);
    for (std::size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    }
    // A header that promises a full body, then never delivers it.
    const Bytes promise = {0x30, 0x31, 0x63, 0x64, 0x81, 0x62, 0, 0, 0, 0, 0, 0, 0, 0,    1,
                           0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0x03, 0xB6};
    noise.insert(noise.end(), promise.begin(), promise.end());
    std::size_t packets = 0;
    splitter.feed(noise, [&](const Packet&) { ++packets; });
    EXPECT_LT(splitter.buffered(), 1024u);
    EXPECT_EQ(splitter.buffered(), promise.size());
}

}  // namespace
}  // namespace jt1078
