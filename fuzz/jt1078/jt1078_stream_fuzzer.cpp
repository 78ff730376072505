// Throws arbitrary bytes at the terminal media path: the packet decoder (one
// datagram, and a TCP stream cut at varying places), the frame reassembly
// behind it, and the bodies of the stream requests. Besides "no crash", it
// checks the bounds the server relies on: no body above 950 bytes, no frame
// above its limit, little kept between reads, and memory accounting that
// returns to what the streams in progress hold.
//
// The first byte picks the layout and the cut; the rest is the input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "jt1078/av_control.h"
#include "jt1078/frame_reassembler.h"
#include "jt1078/stream_packet.h"
#include "jt1078/stream_splitter.h"

namespace {

using namespace jt1078;

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

constexpr std::size_t kFrameLimit = 8 * 1024;

void take(FrameReassembler& reassembler, const Packet& packet) {
    check(packet.body.size() <= kMaxBodyBytes);
    Frame frame;
    if (reassembler.add(packet, frame)) {
        check(!frame.bytes.empty() && frame.bytes.size() <= kFrameLimit);
        check(frame.sim == packet.header.sim && frame.channel == packet.header.channel);
    }
    check(reassembler.streams() <= 8);
    check(reassembler.pendingBytes() <= 8 * kFrameLimit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::uint8_t mode = data[0];
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);
    const SimLayout layout = static_cast<SimLayout>(mode % 3);
    const std::size_t cut = 1 + (mode >> 2) * 7;

    ReassemblerLimits limits;
    limits.maxFrameBytes = kFrameLimit;
    limits.maxStreams = 8;
    FrameReassembler reassembler(limits);

    // One datagram.
    const DecodeResult one = decodePacket(bytes, layout, true);
    if (one.status == DecodeStatus::Ok) {
        check(one.size == bytes.size());
        check(one.size ==
              headerBytes(one.packet.layout, one.packet.header.dataType) + one.packet.body.size());
        // What decodes encodes back to the same bytes.
        const auto again = encodePacket(one.packet.header, one.packet.body, one.packet.layout);
        check(std::span<const std::uint8_t>(again).size() == bytes.size());
        check(std::equal(again.begin(), again.end(), bytes.begin()));
        take(reassembler, one.packet);
    }

    // A stream, in pieces.
    StreamSplitter splitter(layout);
    for (std::size_t at = 0; at < bytes.size(); at += cut) {
        const std::size_t n = std::min(cut, bytes.size() - at);
        splitter.feed(bytes.subspan(at, n), [&](const Packet& p) { take(reassembler, p); });
        check(splitter.buffered() < 1024);
    }
    for (std::size_t s = 0; s < 8; ++s) {
        reassembler.forget(std::string(12, static_cast<char>('0' + s)), 1);
    }

    // The request bodies: decode, and what decodes encodes back.
    if (const auto request = decodeRealtimeRequest(bytes)) {
        const auto again = encodeRealtimeRequest(*request);
        check(again && std::equal(again->begin(), again->end(), bytes.begin(), bytes.end()));
    }
    if (const auto control = decodeTransmissionControl(bytes)) {
        const auto again = encodeTransmissionControl(*control);
        check(std::equal(again.begin(), again.end(), bytes.begin(), bytes.end()));
    }
    return 0;
}
