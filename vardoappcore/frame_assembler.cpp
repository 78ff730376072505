#include "vardoappcore/frame_assembler.h"

#include <algorithm>

namespace vardo {
namespace {

constexpr std::size_t kReserveLimit = 256 * 1024;

}  // namespace

void ReassemblyMemory::join(FrameAssembler* assembler) {
    members_.push_back(assembler);
}

void ReassemblyMemory::leave(FrameAssembler* assembler) {
    std::erase(members_, assembler);
}

void ReassemblyMemory::trim() {
    while (used_ > limit_) {
        FrameAssembler* oldest = nullptr;
        std::uint64_t stamp = 0;
        for (FrameAssembler* member : members_) {
            const std::uint64_t s = member->oldestArrival();
            if (s != 0 && (oldest == nullptr || s < stamp)) {
                oldest = member;
                stamp = s;
            }
        }
        if (oldest == nullptr) {
            return;
        }
        oldest->evictOldest();
    }
}

FrameAssembler::FrameAssembler(AssemblerLimits limits, ReassemblyMemory* memory)
    : limits_(limits), memory_(memory) {
    if (memory_ != nullptr) {
        memory_->join(this);
    }
}

FrameAssembler::~FrameAssembler() {
    clearPending();
    if (memory_ != nullptr) {
        memory_->leave(this);
    }
}

void FrameAssembler::reset() {
    clearPending();
    delivered_ = false;
    lastSequence_ = 0;
    haveStray_ = false;
}

void FrameAssembler::recount(Pending& p) {
    const std::size_t now = sizeof(Pending) + p.data.capacity() +
                            p.parts.capacity() * sizeof(Pending::Part) + p.have.capacity() / 8;
    pendingBytes_ = pendingBytes_ - p.bytes + now;
    if (memory_ != nullptr) {
        memory_->used_ = memory_->used_ - p.bytes + now;
    }
    p.bytes = now;
}

void FrameAssembler::erase(std::vector<Pending>::iterator it) {
    pendingBytes_ -= it->bytes;
    if (memory_ != nullptr) {
        memory_->used_ -= it->bytes;
    }
    pending_.erase(it);
}

void FrameAssembler::clearPending() {
    while (!pending_.empty()) {
        erase(std::prev(pending_.end()));
    }
}

std::uint64_t FrameAssembler::oldestArrival() const {
    std::uint64_t oldest = 0;
    for (const Pending& p : pending_) {
        if (oldest == 0 || p.arrival < oldest) {
            oldest = p.arrival;
        }
    }
    return oldest;
}

void FrameAssembler::evictOldest() {
    const auto it =
        std::min_element(pending_.begin(), pending_.end(),
                         [](const Pending& a, const Pending& b) { return a.arrival < b.arrival; });
    if (it != pending_.end()) {
        ++counters_.evicted;
        erase(it);
    }
}

bool FrameAssembler::fitStream(const Pending* keep) {
    while (pendingBytes_ > limits_.maxPendingBytes) {
        auto victim = pending_.end();
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (&*it != keep && (victim == pending_.end() ||
                                 sequenceDistance(it->sequence, victim->sequence) < 0)) {
                victim = it;
            }
        }
        if (victim == pending_.end()) {
            // The frame alone is more than a stream may hold.
            const auto self = std::find_if(pending_.begin(), pending_.end(),
                                           [keep](const Pending& p) { return &p == keep; });
            ++counters_.evicted;
            erase(self);
            return false;
        }
        ++counters_.evicted;
        erase(victim);
    }
    return true;
}

bool FrameAssembler::outsideWindow(std::uint32_t seq) {
    if (!delivered_) {
        return false;  // the first frame places the window
    }
    const std::int64_t distance = sequenceDistance(seq, lastSequence_);
    if (distance > -static_cast<std::int64_t>(limits_.restartDistance) &&
        distance <= static_cast<std::int64_t>(limits_.maxAhead)) {
        return false;
    }
    if (!(haveStray_ && seq == straySequence_)) {
        // Another fragment of the same stray frame does not lengthen the run.
        const std::int32_t step = haveStray_ ? sequenceDistance(seq, straySequence_) : 0;
        strayRun_ = (haveStray_ && step > 0 && step <= 2) ? strayRun_ + 1 : 1;
        haveStray_ = true;
        straySequence_ = seq;
        if (strayRun_ >= limits_.restartRun) {
            // Frame after frame out there: the sender started over or
            // jumped, and the stream follows it.
            ++counters_.restarts;
            reset();
            return false;
        }
    }
    ++counters_.outOfWindow;
    return true;
}

std::optional<AssembledFrame> FrameAssembler::add(const protocol::MediaHeader& header,
                                                  std::span<const std::uint8_t> payload) {
    const std::uint32_t seq = header.sequence;
    if (header.fragmentCount > limits_.maxFragments ||
        header.fragmentIndex >= header.fragmentCount) {
        ++counters_.inconsistent;
        return std::nullopt;
    }
    if (outsideWindow(seq)) {
        return std::nullopt;
    }
    if (delivered_ && sequenceDistance(seq, lastSequence_) <= 0) {
        ++counters_.late;
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
            erase(oldest);
        }
        Pending p;
        p.sequence = seq;
        p.timestampMs = header.timestampMs;
        p.count = header.fragmentCount;
        p.have.assign(header.fragmentCount, false);
        p.arrival = memory_ != nullptr ? ++memory_->arrivals_ : ++localArrivals_;
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
    if (p.data.size() + payload.size() > p.data.capacity()) {
        // Doubling, but never past what the rest of the frame can need, so
        // that the bytes counted against the caps are the frame's own.
        const std::size_t needed = p.data.size() + payload.size();
        const std::size_t rest = payload.size() * static_cast<std::size_t>(p.count - p.received);
        p.data.reserve(std::max(needed, std::min(2 * p.data.capacity(), needed + rest)));
    }
    p.parts.push_back({header.fragmentIndex, static_cast<std::uint32_t>(p.data.size()),
                       static_cast<std::uint32_t>(payload.size())});
    p.data.insert(p.data.end(), payload.begin(), payload.end());
    if (p.received == p.count) {
        return complete(static_cast<std::size_t>(it - pending_.begin()), header);
    }
    recount(p);
    if (fitStream(&p) && memory_ != nullptr) {
        memory_->trim();  // may take this frame too, when it is the oldest
    }
    return std::nullopt;
}

AssembledFrame FrameAssembler::complete(std::size_t index, const protocol::MediaHeader& header) {
    const auto at = pending_.begin() + static_cast<std::ptrdiff_t>(index);
    Pending p = std::move(*at);
    pending_.erase(at);
    pendingBytes_ -= p.bytes;
    if (memory_ != nullptr) {
        memory_->used_ -= p.bytes;
    }

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
    haveStray_ = false;  // the window is alive: a run outside it starts anew
    ++counters_.delivered;
    return frame;
}

void FrameAssembler::dropOlderThan(std::uint32_t sequence) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (sequenceDistance(it->sequence, sequence) < 0) {
            ++counters_.incomplete;
            const auto offset = it - pending_.begin();
            erase(it);
            it = pending_.begin() + offset;
        } else {
            ++it;
        }
    }
}

}  // namespace vardo
