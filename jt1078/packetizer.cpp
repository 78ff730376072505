#include "jt1078/packetizer.h"

#include <algorithm>

namespace jt1078 {

std::vector<std::vector<std::uint8_t>> packetize(const PacketHeader& header,
                                                 std::span<const std::uint8_t> frame,
                                                 std::uint16_t& sequence, SimLayout layout,
                                                 std::size_t maxBody) {
    std::vector<std::vector<std::uint8_t>> out;
    maxBody = std::clamp<std::size_t>(maxBody, 1, kMaxBodyBytes);
    if (frame.empty()) {
        return out;
    }
    const std::size_t count = (frame.size() + maxBody - 1) / maxBody;
    out.reserve(count);
    PacketHeader h = header;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t offset = i * maxBody;
        const std::size_t size = std::min(maxBody, frame.size() - offset);
        if (count == 1) {
            h.subPackage = SubPackage::Atomic;
        } else if (i == 0) {
            h.subPackage = SubPackage::First;
        } else if (i + 1 == count) {
            h.subPackage = SubPackage::Last;
        } else {
            h.subPackage = SubPackage::Middle;
        }
        // The marker closes a frame, as receivers of RTP-style streams expect.
        h.marker = i + 1 == count;
        h.sequence = sequence++;
        out.push_back(encodePacket(h, frame.subspan(offset, size), layout));
    }
    return out;
}

}  // namespace jt1078
