#pragma once
// The binary datagrams of the media side: the client's registration
// ("VRDR" + media key) and the server's frame fragments ("VRDM" + header +
// payload). All integers are big-endian.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace vardo::protocol {

inline constexpr std::size_t kMaxDatagramBytes = 1400;
inline constexpr std::size_t kMediaHeaderBytes = 28;
inline constexpr std::size_t kRegisterBytes = 8;       // "VRDR" + 32-bit key
inline constexpr std::size_t kWideRegisterBytes = 12;  // "VRDR" + 64-bit key
inline constexpr std::uint8_t kMediaVersion = 1;

enum class MediaKind : std::uint8_t { Video = 1, Audio = 2 };

// Bit 0 of the first reserved byte: a key frame.
inline constexpr std::uint8_t kFlagKeyframe = 0x01;

struct MediaHeader {
    MediaKind kind = MediaKind::Video;
    std::uint32_t stream = 0;
    std::uint32_t sequence = 0;
    std::uint64_t timestampMs = 0;
    std::uint16_t fragmentIndex = 0;
    std::uint16_t fragmentCount = 1;
    // The frame can be decoded on its own (an H.264/H.265 key frame with its
    // parameter sets). Carried in a bit of the reserved field, so peers that
    // do not know it read the datagram as before.
    bool keyframe = false;
    bool operator==(const MediaHeader&) const = default;
};

struct MediaDatagram {
    MediaHeader header;
    std::span<const std::uint8_t> payload;  // points into the decoded bytes
};

struct MediaDecodeResult {
    std::optional<MediaDatagram> datagram;
    std::string error;  // why it was dropped
};

// A media key as it travels: 64 bits wide between version-2 peers, 32 bits
// with a version-1 peer.
struct MediaKey {
    std::uint64_t value = 0;
    bool wide = false;
    bool operator==(const MediaKey&) const = default;
};

// The registration datagram that tells the server where to send media. A
// narrow key takes the low 32 bits of `value`.
std::vector<std::uint8_t> encodeRegister(MediaKey key);
// The media key of a registration datagram; nothing when it is not one.
std::optional<MediaKey> decodeRegister(std::span<const std::uint8_t> bytes);

// One datagram: header plus payload. The payload must fit the datagram bound.
std::vector<std::uint8_t> encodeMediaDatagram(const MediaHeader& header,
                                              std::span<const std::uint8_t> payload);

// Checks size, magic, version, kind and fragment numbering; the stream is
// for the receiver to check against the streams it opened.
MediaDecodeResult decodeMediaDatagram(std::span<const std::uint8_t> bytes);

// One frame's datagrams laid end to end, each kMaxDatagramBytes long but
// the last: the layout a socket sends in one call with UDP segmentation
// offload, and one allocation a frame.
struct PackedDatagrams {
    std::vector<std::uint8_t> bytes;
    std::size_t count = 0;

    std::span<const std::uint8_t> at(std::size_t i) const {
        const std::size_t from = i * kMaxDatagramBytes;
        return std::span(bytes).subspan(from, std::min(kMaxDatagramBytes, bytes.size() - from));
    }
};

// Cuts one frame into datagrams of at most kMaxDatagramBytes, numbered from
// fragment 0. A frame too big for 65535 fragments gives nothing.
PackedDatagrams packFrame(MediaKind kind, std::uint32_t stream, std::uint32_t sequence,
                          std::uint64_t timestampMs, std::span<const std::uint8_t> frame,
                          bool keyframe = false);

// The same, each datagram in a vector of its own.
std::vector<std::vector<std::uint8_t>> fragmentFrame(MediaKind kind, std::uint32_t stream,
                                                     std::uint32_t sequence,
                                                     std::uint64_t timestampMs,
                                                     std::span<const std::uint8_t> frame,
                                                     bool keyframe = false);

}  // namespace vardo::protocol
