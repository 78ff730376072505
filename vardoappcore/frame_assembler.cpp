#include "vardoappcore/frame_assembler.h"

#include <algorithm>

namespace vardo {
namespace {

constexpr std::size_t kReserveLimit = 256 * 1024;

}  // namespace

void FrameAssembler::reset() {
    pending_.clear();
    delivered_ = false;
    lastSequence_ = 0;
}

std::optional<AssembledFrame> FrameAssembler::add(const protocol::MediaHeader& header,
                                                  std::span<const std::uint8_t> payload) {
    const std::uint32_t seq = header.sequence;
    if (delivered_) {
        const std::int32_t ahead = sequenceDistance(seq, lastSequence_);
        if (ahead <= 0) {
            if (static_cast<std::uint32_t>(-static_cast<std::int64_t>(ahead)) <
                limits_.restartDistance) {
                ++counters_.late;
                return std::nullopt;
            }
            ++counters_.restarts;
            reset();
        }
    }
    if (header.fragmentCount > limits_.maxFragments ||
        header.fragmentIndex >= header.fragmentCount) {
        ++counters_.inconsistent;
        return std::nullopt;
    }

    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [seq](const Pending& p) { return p.sequence == seq; });
    if (it == pending_.end()) {
        if (pending_.size() >= limits_.maxPendingFrames) {
            // The oldest in progress makes room; it would not complete in time.
            const auto oldest = std::min_element(
                pending_.begin(), pending_.end(), [](const Pending& a, const Pending& b) {
                    return sequenceDistance(a.sequence, b.sequence) < 0;
                });
            ++counters_.incomplete;
            pending_.erase(oldest);
        }
        Pending p;
        p.sequence = seq;
        p.timestampMs = header.timestampMs;
        p.count = header.fragmentCount;
        p.have.assign(header.fragmentCount, false);
        pending_.push_back(std::move(p));
        it = std::prev(pending_.end());
    } else if (it->count != header.fragmentCount || it->timestampMs != header.timestampMs) {
        ++counters_.inconsistent;
        return std::nullopt;
    }

    Pending& p = *it;
    if (p.have[header.fragmentIndex]) {
        ++counters_.duplicate;
        return std::nullopt;
    }
    p.have[header.fragmentIndex] = true;
    ++p.received;
    if (p.data.empty()) {
        // Fragments are mostly of one size; a count that claims more than a
        // camera frame needs reserves no more than one.
        p.data.reserve(std::min<std::size_t>(payload.size() * p.count, kReserveLimit));
    }
    p.inOrder = p.inOrder && (p.parts.empty() ? header.fragmentIndex == 0
                                              : header.fragmentIndex == p.parts.back().index + 1);
    p.parts.push_back({header.fragmentIndex, static_cast<std::uint32_t>(p.data.size()),
                       static_cast<std::uint32_t>(payload.size())});
    p.data.insert(p.data.end(), payload.begin(), payload.end());
    if (p.received < p.count) {
        return std::nullopt;
    }
    return complete(static_cast<std::size_t>(it - pending_.begin()), header);
}

AssembledFrame FrameAssembler::complete(std::size_t index, const protocol::MediaHeader& header) {
    Pending p = std::move(pending_[index]);
    pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(index));

    AssembledFrame frame;
    frame.kind = header.kind;
    frame.stream = header.stream;
    frame.sequence = p.sequence;
    frame.timestampMs = p.timestampMs;
    frame.keyframe = header.keyframe;  // every fragment of a frame carries it
    if (p.inOrder) {
        frame.bytes = std::move(p.data);
    } else {
        std::sort(p.parts.begin(), p.parts.end(),
                  [](const Pending::Part& x, const Pending::Part& y) { return x.index < y.index; });
        frame.bytes.reserve(p.data.size());
        for (const auto& part : p.parts) {
            const auto from = p.data.begin() + part.offset;
            frame.bytes.insert(frame.bytes.end(), from, from + part.size);
        }
    }

    dropOlderThan(p.sequence);
    if (delivered_) {
        const std::int32_t gap = sequenceDistance(p.sequence, lastSequence_) - 1;
        if (gap > 0) {
            counters_.missing += static_cast<std::uint64_t>(gap);
        }
    }
    delivered_ = true;
    lastSequence_ = p.sequence;
    ++counters_.delivered;
    return frame;
}

void FrameAssembler::dropOlderThan(std::uint32_t sequence) {
    const auto before = pending_.size();
    std::erase_if(pending_, [sequence](const Pending& p) {
        return sequenceDistance(p.sequence, sequence) < 0;
    });
    counters_.incomplete += before - pending_.size();
}

}  // namespace vardo
