#include "jt1078/stream_packet.h"

#include <algorithm>
#include <cstring>

namespace jt1078 {
namespace {

constexpr std::size_t kMagicBytes = 4;
constexpr std::uint8_t kVersion = 2;

std::size_t simBytes(SimLayout layout) {
    return layout == SimLayout::Bcd10 ? 10 : 6;
}

std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint64_t get64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

bool isMagic(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= kMagicBytes &&
           std::memcmp(bytes.data(), kMagic.data(), kMagicBytes) == 0;
}

DecodeResult invalid(const char* why) {
    DecodeResult r;
    r.status = DecodeStatus::Invalid;
    r.error = why;
    return r;
}

DecodeResult needMore() {
    DecodeResult r;
    r.status = DecodeStatus::NeedMore;
    return r;
}

// One layout; the packet may be followed by more bytes.
DecodeResult decodeWith(std::span<const std::uint8_t> bytes, SimLayout layout) {
    const std::size_t sim = simBytes(layout);
    // Up to and including the data type byte, everything has a fixed place.
    const std::size_t fixed = kMagicBytes + 4 + sim + 2;
    if (bytes.size() < kMagicBytes) {
        return needMore();
    }
    if (!isMagic(bytes)) {
        return invalid("no packet magic");
    }
    if (bytes.size() < fixed) {
        return needMore();
    }
    const std::uint8_t* p = bytes.data();
    Packet packet;
    packet.layout = layout;
    PacketHeader& h = packet.header;
    h.version = static_cast<std::uint8_t>(p[4] >> 6);
    h.padding = (p[4] & 0x20) != 0;
    h.extension = (p[4] & 0x10) != 0;
    h.csrcCount = p[4] & 0x0F;
    if (h.version != kVersion) {
        return invalid("unsupported version");
    }
    h.marker = (p[5] & 0x80) != 0;
    h.payloadType = p[5] & 0x7F;
    h.sequence = get16(p + 6);
    h.sim.reserve(sim * 2);
    for (std::size_t i = 0; i < sim; ++i) {
        const std::uint8_t b = p[8 + i];
        if ((b >> 4) > 9 || (b & 0x0F) > 9) {
            return invalid("SIM number is not BCD");
        }
        h.sim.push_back(static_cast<char>('0' + (b >> 4)));
        h.sim.push_back(static_cast<char>('0' + (b & 0x0F)));
    }
    h.channel = p[8 + sim];
    const std::uint8_t typeByte = p[9 + sim];
    if ((typeByte >> 4) > static_cast<std::uint8_t>(DataType::Transparent)) {
        return invalid("unknown data type");
    }
    if ((typeByte & 0x0F) > static_cast<std::uint8_t>(SubPackage::Middle)) {
        return invalid("unknown sub-package flag");
    }
    h.dataType = static_cast<DataType>(typeByte >> 4);
    h.subPackage = static_cast<SubPackage>(typeByte & 0x0F);

    const std::size_t header = headerBytes(layout, h.dataType);
    if (bytes.size() < header) {
        return needMore();
    }
    std::size_t at = fixed;
    if (h.dataType != DataType::Transparent) {
        h.timestampMs = get64(p + at);
        at += 8;
    }
    if (isVideo(h.dataType)) {
        h.lastIFrameGapMs = get16(p + at);
        h.lastFrameGapMs = get16(p + at + 2);
        at += 4;
    }
    const std::size_t length = get16(p + at);
    if (length > kMaxBodyBytes) {
        return invalid("body longer than 950 bytes");
    }
    if (bytes.size() < header + length) {
        return needMore();
    }
    DecodeResult r;
    r.status = DecodeStatus::Ok;
    packet.body = bytes.subspan(header, length);
    r.packet = std::move(packet);
    r.size = header + length;
    return r;
}

// Where a packet of a known layout must end: at the end of a datagram, or
// anywhere in a stream.
DecodeResult decodeKnown(std::span<const std::uint8_t> bytes, SimLayout layout, bool complete) {
    DecodeResult r = decodeWith(bytes, layout);
    if (complete && r.status == DecodeStatus::NeedMore) {
        return invalid("datagram shorter than its packet");
    }
    if (complete && r.status == DecodeStatus::Ok && r.size != bytes.size()) {
        return invalid("datagram length does not match its packet");
    }
    return r;
}

// With Auto, a layout counts only when the packet it reads ends where the
// next one starts (or the datagram ends): the bytes after the channel byte
// look plausible under both layouts far too often to trust them alone.
DecodeResult confirm(DecodeResult r, std::span<const std::uint8_t> bytes, bool complete) {
    if (r.status != DecodeStatus::Ok) {
        return r;
    }
    if (complete) {
        return r.size == bytes.size() ? r : invalid("datagram length does not match its packet");
    }
    if (bytes.size() < r.size + kMagicBytes) {
        return needMore();
    }
    return isMagic(bytes.subspan(r.size)) ? r : invalid("no packet follows where this one ends");
}

}  // namespace

std::size_t headerBytes(SimLayout layout, DataType type) {
    std::size_t n = kMagicBytes + 4 + simBytes(layout) + 2 + 2;
    if (type != DataType::Transparent) {
        n += 8;
    }
    if (isVideo(type)) {
        n += 4;
    }
    return n;
}

DecodeResult decodePacket(std::span<const std::uint8_t> bytes, SimLayout layout, bool complete) {
    if (layout != SimLayout::Auto) {
        return decodeKnown(bytes, layout, complete);
    }
    DecodeResult six = confirm(decodeWith(bytes, SimLayout::Bcd6), bytes, complete);
    DecodeResult ten = confirm(decodeWith(bytes, SimLayout::Bcd10), bytes, complete);
    if (six.status == DecodeStatus::Ok) {
        return six;  // both: the older layout is by far the more common
    }
    if (ten.status == DecodeStatus::Ok) {
        return ten;
    }
    if (six.status == DecodeStatus::NeedMore || ten.status == DecodeStatus::NeedMore) {
        return needMore();
    }
    return six;
}

std::vector<std::uint8_t> encodePacket(const PacketHeader& h, std::span<const std::uint8_t> body,
                                       SimLayout layout) {
    if (body.size() > kMaxBodyBytes) {
        return {};
    }
    if (layout == SimLayout::Auto) {
        layout = SimLayout::Bcd6;
    }
    const std::size_t sim = simBytes(layout);
    std::vector<std::uint8_t> out(headerBytes(layout, h.dataType) + body.size());
    std::uint8_t* p = out.data();
    std::memcpy(p, kMagic.data(), kMagicBytes);
    p[4] = static_cast<std::uint8_t>(((h.version & 0x03) << 6) | (h.padding ? 0x20 : 0) |
                                     (h.extension ? 0x10 : 0) | (h.csrcCount & 0x0F));
    p[5] = static_cast<std::uint8_t>((h.marker ? 0x80 : 0) | (h.payloadType & 0x7F));
    p[6] = static_cast<std::uint8_t>(h.sequence >> 8);
    p[7] = static_cast<std::uint8_t>(h.sequence);
    // The last 2 * sim digits, right-aligned, zeros in front.
    std::string digits(sim * 2, '0');
    const std::size_t take = std::min(h.sim.size(), digits.size());
    std::copy(h.sim.end() - static_cast<std::ptrdiff_t>(take), h.sim.end(),
              digits.end() - static_cast<std::ptrdiff_t>(take));
    for (std::size_t i = 0; i < sim; ++i) {
        auto nibble = [](char c) { return c >= '0' && c <= '9' ? c - '0' : 0; };
        p[8 + i] =
            static_cast<std::uint8_t>((nibble(digits[2 * i]) << 4) | nibble(digits[2 * i + 1]));
    }
    p[8 + sim] = h.channel;
    p[9 + sim] = static_cast<std::uint8_t>((static_cast<std::uint8_t>(h.dataType) << 4) |
                                           static_cast<std::uint8_t>(h.subPackage));
    std::size_t at = 10 + sim;
    if (h.dataType != DataType::Transparent) {
        for (int shift = 56; shift >= 0; shift -= 8) {
            p[at++] = static_cast<std::uint8_t>(h.timestampMs >> shift);
        }
    }
    if (isVideo(h.dataType)) {
        p[at++] = static_cast<std::uint8_t>(h.lastIFrameGapMs >> 8);
        p[at++] = static_cast<std::uint8_t>(h.lastIFrameGapMs);
        p[at++] = static_cast<std::uint8_t>(h.lastFrameGapMs >> 8);
        p[at++] = static_cast<std::uint8_t>(h.lastFrameGapMs);
    }
    p[at++] = static_cast<std::uint8_t>(body.size() >> 8);
    p[at++] = static_cast<std::uint8_t>(body.size());
    if (!body.empty()) {
        std::memcpy(p + at, body.data(), body.size());
    }
    return out;
}

}  // namespace jt1078
