#pragma once
// One packet of a terminal's audio/video stream, as it comes over TCP or UDP
// to the media port:
//
//   4  magic 0x30 0x31 0x63 0x64
//   1  V(2) P(1) X(1) CC(4)          version 2, CC 1 in practice
//   1  M(1) PT(7)                    marker, payload type
//   2  packet sequence number
//   6  SIM card number, BCD          (10 in the newer layout)
//   1  logical channel
//   1  data type (high nibble), sub-package flag (low nibble)
//   8  timestamp, ms                 absent for transparent data
//   2  last I-frame interval, ms     video only
//   2  last frame interval, ms       video only
//   2  body length                   at most 950
//   n  body
//
// All integers big-endian. The decoder allocates nothing and keeps no
// state: the body points into the bytes given.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace jt1078 {

inline constexpr std::array<std::uint8_t, 4> kMagic = {0x30, 0x31, 0x63, 0x64};
inline constexpr std::size_t kMaxBodyBytes = 950;

enum class DataType : std::uint8_t {
    IFrame = 0,
    PFrame = 1,
    BFrame = 2,
    Audio = 3,
    Transparent = 4,
};

// How a frame is cut into packets.
enum class SubPackage : std::uint8_t {
    Atomic = 0,  // the whole frame
    First = 1,
    Last = 2,
    Middle = 3,
};

// The SIM number field: 6 BCD bytes (12 digits) in the older layout, 10
// (20 digits) in the newer one. Auto finds out from the bytes (see
// decodePacket) and should be the default for a server that takes both.
enum class SimLayout : std::uint8_t { Auto, Bcd6, Bcd10 };

inline bool isVideo(DataType t) {
    return t == DataType::IFrame || t == DataType::PFrame || t == DataType::BFrame;
}

struct PacketHeader {
    std::uint8_t version = 2;
    bool padding = false;
    bool extension = false;
    std::uint8_t csrcCount = 1;
    bool marker = false;
    std::uint8_t payloadType = 0;
    std::uint16_t sequence = 0;
    std::string sim;  // the BCD digits as text, leading zeros kept
    std::uint8_t channel = 0;
    DataType dataType = DataType::IFrame;
    SubPackage subPackage = SubPackage::Atomic;
    std::uint64_t timestampMs = 0;      // 0 for transparent data
    std::uint16_t lastIFrameGapMs = 0;  // video only
    std::uint16_t lastFrameGapMs = 0;   // video only
    bool operator==(const PacketHeader&) const = default;
};

struct Packet {
    PacketHeader header;
    SimLayout layout = SimLayout::Bcd6;  // the one the bytes were read with
    std::span<const std::uint8_t> body;
};

enum class DecodeStatus {
    Ok,
    NeedMore,  // the bytes end inside a packet (or, with Auto, before the next magic)
    Invalid,   // not a packet at this position
};

struct DecodeResult {
    DecodeStatus status = DecodeStatus::Invalid;
    Packet packet;
    std::size_t size = 0;  // bytes the packet took
    std::string error;     // why it is Invalid
};

// The size of the header for a layout and data type.
std::size_t headerBytes(SimLayout layout, DataType type);

// Reads the packet that starts at bytes[0]. With `complete` the bytes are
// the whole packet (one UDP datagram): its length must match exactly. Else
// they are the front of a byte stream and may end inside it.
//
// With SimLayout::Auto, both layouts are tried; one is taken when its fields
// are valid and it ends exactly where the datagram ends or where the next
// packet's magic begins. On a stream that means the first packet waits for
// the start of the second; a caller should keep the layout a packet was read
// with (Packet::layout) for the rest of the connection.
DecodeResult decodePacket(std::span<const std::uint8_t> bytes, SimLayout layout, bool complete);

// Writes one packet. `sim` is up to 12 (or 20) digits, padded with leading
// zeros (only its last digits are kept when longer; a character that is no
// digit counts as 0). A body longer than kMaxBodyBytes gives nothing: it has
// to be cut into sub-packages first (packetizer.h).
std::vector<std::uint8_t> encodePacket(const PacketHeader& header,
                                       std::span<const std::uint8_t> body,
                                       SimLayout layout = SimLayout::Bcd6);

}  // namespace jt1078
