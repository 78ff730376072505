#include "jt1078/stream_splitter.h"

#include <algorithm>

namespace jt1078 {
namespace {

// Where the next magic starts at or after `from`; the end when there is
// none. A magic cut by the end is found at its start, so its bytes are kept.
std::size_t findMagic(std::span<const std::uint8_t> bytes, std::size_t from) {
    for (std::size_t i = from; i < bytes.size(); ++i) {
        const std::size_t n = std::min(kMagic.size(), bytes.size() - i);
        if (std::equal(kMagic.begin(), kMagic.begin() + static_cast<std::ptrdiff_t>(n),
                       bytes.begin() + static_cast<std::ptrdiff_t>(i))) {
            return i;
        }
    }
    return bytes.size();
}

}  // namespace

void StreamSplitter::feed(std::span<const std::uint8_t> bytes, const PacketHandler& onPacket) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    const std::span<const std::uint8_t> all(buffer_);
    std::size_t at = 0;
    while (at < all.size()) {
        const DecodeResult r = decodePacket(all.subspan(at), layout_, false);
        if (r.status == DecodeStatus::NeedMore) {
            break;
        }
        if (r.status == DecodeStatus::Ok) {
            if (layout_ == SimLayout::Auto) {
                layout_ = r.packet.layout;
            }
            inSync_ = true;
            ++counters_.packets;
            onPacket(r.packet);
            at += r.size;
            continue;
        }
        if (inSync_) {
            inSync_ = false;
            ++counters_.resyncs;
        }
        const std::size_t next = findMagic(all, at + 1);
        counters_.skippedBytes += next - at;
        at = next;
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace jt1078
