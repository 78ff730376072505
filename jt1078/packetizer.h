#pragma once
// Cuts one frame into stream packets of at most 950 body bytes: one atomic
// packet when it fits, else a first, middles and a last.

#include <cstdint>
#include <span>
#include <vector>

#include "jt1078/stream_packet.h"

namespace jt1078 {

// `header` gives everything but the sub-package flag and the sequence
// number; `sequence` is the number of the first packet and is advanced past
// the last. An empty frame gives nothing.
std::vector<std::vector<std::uint8_t>> packetize(const PacketHeader& header,
                                                 std::span<const std::uint8_t> frame,
                                                 std::uint16_t& sequence,
                                                 SimLayout layout = SimLayout::Bcd6,
                                                 std::size_t maxBody = kMaxBodyBytes);

}  // namespace jt1078
