#include "protocol/media_datagram.h"

#include <algorithm>
#include <cstring>

namespace vardo::protocol {
namespace {

constexpr std::uint8_t kRegisterMagic[4] = {'V', 'R', 'D', 'R'};
constexpr std::uint8_t kMediaMagic[4] = {'V', 'R', 'D', 'M'};
constexpr std::size_t kMaxPayloadBytes = kMaxDatagramBytes - kMediaHeaderBytes;

template <class T>
std::uint8_t* putBig(std::uint8_t* p, T value) {
    for (int shift = (sizeof(T) - 1) * 8; shift >= 0; shift -= 8) {
        *p++ = static_cast<std::uint8_t>(value >> shift);
    }
    return p;
}

template <class T>
T getBig(const std::uint8_t* p) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>((value << 8) | p[i]);
    }
    return value;
}

}  // namespace

std::vector<std::uint8_t> encodeRegister(MediaKey key) {
    std::vector<std::uint8_t> out(key.wide ? kWideRegisterBytes : kRegisterBytes);
    std::memcpy(out.data(), kRegisterMagic, 4);
    if (key.wide) {
        putBig(out.data() + 4, key.value);
    } else {
        putBig(out.data() + 4, static_cast<std::uint32_t>(key.value));
    }
    return out;
}

std::optional<MediaKey> decodeRegister(std::span<const std::uint8_t> bytes) {
    if ((bytes.size() != kRegisterBytes && bytes.size() != kWideRegisterBytes) ||
        std::memcmp(bytes.data(), kRegisterMagic, 4) != 0) {
        return std::nullopt;
    }
    if (bytes.size() == kWideRegisterBytes) {
        return MediaKey{getBig<std::uint64_t>(bytes.data() + 4), true};
    }
    return MediaKey{getBig<std::uint32_t>(bytes.data() + 4), false};
}

namespace {

// Writes the datagram of `header` and `payload` at `out`, which has room.
void writeDatagram(std::uint8_t* out, const MediaHeader& header,
                   std::span<const std::uint8_t> payload) {
    std::uint8_t* p = out;
    std::memcpy(p, kMediaMagic, 4);
    p[4] = kMediaVersion;
    p[5] = static_cast<std::uint8_t>(header.kind);
    p[6] = header.keyframe ? kFlagKeyframe : 0;
    p[7] = 0;
    p += 8;
    p = putBig(p, header.stream);
    p = putBig(p, header.sequence);
    p = putBig(p, header.timestampMs);
    p = putBig(p, header.fragmentIndex);
    p = putBig(p, header.fragmentCount);
    if (!payload.empty()) {
        std::memcpy(p, payload.data(), payload.size());
    }
}

}  // namespace

std::vector<std::uint8_t> encodeMediaDatagram(const MediaHeader& header,
                                              std::span<const std::uint8_t> payload) {
    // Sized once and written in place (GCC 12 warns falsely about inserts
    // into a vector of bytes).
    std::vector<std::uint8_t> out(kMediaHeaderBytes + payload.size());
    writeDatagram(out.data(), header, payload);
    return out;
}

MediaDecodeResult decodeMediaDatagram(std::span<const std::uint8_t> bytes) {
    MediaDecodeResult result;
    if (bytes.size() <= kMediaHeaderBytes) {
        result.error = "datagram too short";
        return result;
    }
    if (bytes.size() > kMaxDatagramBytes) {
        result.error = "datagram too long";
        return result;
    }
    const std::uint8_t* p = bytes.data();
    if (std::memcmp(p, kMediaMagic, 4) != 0) {
        result.error = "bad magic";
        return result;
    }
    if (p[4] != kMediaVersion) {
        result.error = "unsupported version";
        return result;
    }
    if (p[5] != static_cast<std::uint8_t>(MediaKind::Video) &&
        p[5] != static_cast<std::uint8_t>(MediaKind::Audio)) {
        result.error = "unknown media kind";
        return result;
    }
    MediaHeader h;
    h.kind = static_cast<MediaKind>(p[5]);
    // Bytes 6-7 are reserved but for the key frame bit; a later version may
    // use the rest, so it is not checked.
    h.keyframe = (p[6] & kFlagKeyframe) != 0;
    h.stream = getBig<std::uint32_t>(p + 8);
    h.sequence = getBig<std::uint32_t>(p + 12);
    h.timestampMs = getBig<std::uint64_t>(p + 16);
    h.fragmentIndex = getBig<std::uint16_t>(p + 24);
    h.fragmentCount = getBig<std::uint16_t>(p + 26);
    if (h.fragmentCount == 0 || h.fragmentIndex >= h.fragmentCount) {
        result.error = "fragment index out of range";
        return result;
    }
    result.datagram = MediaDatagram{h, bytes.subspan(kMediaHeaderBytes)};
    return result;
}

namespace {

// Calls `onFragment(index, header, payload)` for each datagram of the frame;
// their count, 0 when the frame is empty or too big.
template <class F>
std::size_t forEachFragment(MediaKind kind, std::uint32_t stream, std::uint32_t sequence,
                            std::uint64_t timestampMs, std::span<const std::uint8_t> frame,
                            bool keyframe, F&& onFragment) {
    const std::size_t count = (frame.size() + kMaxPayloadBytes - 1) / kMaxPayloadBytes;
    if (frame.empty() || count > 0xFFFF) {
        return 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t offset = i * kMaxPayloadBytes;
        const std::size_t size = std::min(kMaxPayloadBytes, frame.size() - offset);
        const MediaHeader h{kind,
                            stream,
                            sequence,
                            timestampMs,
                            static_cast<std::uint16_t>(i),
                            static_cast<std::uint16_t>(count),
                            keyframe};
        onFragment(i, h, frame.subspan(offset, size));
    }
    return count;
}

}  // namespace

PackedDatagrams packFrame(MediaKind kind, std::uint32_t stream, std::uint32_t sequence,
                          std::uint64_t timestampMs, std::span<const std::uint8_t> frame,
                          bool keyframe) {
    PackedDatagrams out;
    const std::size_t count = (frame.size() + kMaxPayloadBytes - 1) / kMaxPayloadBytes;
    if (frame.empty() || count > 0xFFFF) {
        return out;
    }
    out.bytes.resize(count * kMediaHeaderBytes + frame.size());
    out.count = forEachFragment(
        kind, stream, sequence, timestampMs, frame, keyframe,
        [&](std::size_t i, const MediaHeader& h, std::span<const std::uint8_t> payload) {
            writeDatagram(out.bytes.data() + i * kMaxDatagramBytes, h, payload);
        });
    return out;
}

std::vector<std::vector<std::uint8_t>> fragmentFrame(MediaKind kind, std::uint32_t stream,
                                                     std::uint32_t sequence,
                                                     std::uint64_t timestampMs,
                                                     std::span<const std::uint8_t> frame,
                                                     bool keyframe) {
    std::vector<std::vector<std::uint8_t>> out;
    out.reserve((frame.size() + kMaxPayloadBytes - 1) / kMaxPayloadBytes);
    forEachFragment(kind, stream, sequence, timestampMs, frame, keyframe,
                    [&](std::size_t, const MediaHeader& h, std::span<const std::uint8_t> payload) {
                        out.push_back(encodeMediaDatagram(h, payload));
                    });
    return out;
}

}  // namespace vardo::protocol
