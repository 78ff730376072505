#include "jt1078/frame_reassembler.h"

namespace jt1078 {

FrameReassembler::Stream& FrameReassembler::stream(const Key& key) {
    const auto it = streams_.find(key);
    if (it != streams_.end()) {
        ages_.splice(ages_.end(), ages_, it->second.age);
        return it->second;
    }
    while (!streams_.empty() && streams_.size() >= limits_.maxStreams) {
        const auto oldest = streams_.find(ages_.front());
        drop(oldest->second);
        ages_.pop_front();
        streams_.erase(oldest);
        ++counters_.evicted;
    }
    Stream& s = streams_[key];
    s.age = ages_.insert(ages_.end(), key);
    return s;
}

void FrameReassembler::drop(Stream& s) {
    if (!s.open) {
        return;
    }
    s.open = false;
    pendingBytes_ -= s.frame.bytes.size();
    s.frame.bytes.clear();
    s.frame.bytes.shrink_to_fit();
    ++counters_.dropped;
}

void FrameReassembler::passOver(const Key& other, std::uint16_t sequence) {
    const auto it = streams_.find(other);
    if (it != streams_.end() && it->second.open && it->second.expected == sequence) {
        it->second.expected = static_cast<std::uint16_t>(sequence + 1);
    }
}

bool FrameReassembler::add(const Packet& packet, Frame& out) {
    const PacketHeader& h = packet.header;
    if (h.dataType == DataType::Transparent) {
        ++counters_.transparent;
        return false;
    }
    const Kind kind = isVideo(h.dataType) ? Kind::Video : Kind::Audio;
    const Kind otherKind = kind == Kind::Video ? Kind::Audio : Kind::Video;
    passOver(Key(h.sim, h.channel, otherKind), h.sequence);
    Stream& s = stream(Key(h.sim, h.channel, kind));

    const bool starts = h.subPackage == SubPackage::Atomic || h.subPackage == SubPackage::First;
    if (starts) {
        drop(s);  // the frame in progress will never be finished
        s.open = true;
        s.frame.sim = h.sim;
        s.frame.channel = h.channel;
        s.frame.dataType = h.dataType;
        s.frame.payloadType = h.payloadType;
        s.frame.timestampMs = h.timestampMs;
        s.frame.firstSequence = h.sequence;
        s.frame.bytes.clear();
    } else if (!s.open) {
        ++counters_.orphans;
        return false;
    } else if (h.sequence != s.expected || h.dataType != s.frame.dataType ||
               h.payloadType != s.frame.payloadType) {
        // A piece went missing or came late: the frame cannot be whole.
        drop(s);
        ++counters_.orphans;
        return false;
    }

    if (s.frame.bytes.size() + packet.body.size() > limits_.maxFrameBytes ||
        pendingBytes_ + packet.body.size() > limits_.maxPendingBytes) {
        drop(s);
        ++counters_.oversize;
        return false;
    }
    s.frame.bytes.insert(s.frame.bytes.end(), packet.body.begin(), packet.body.end());
    pendingBytes_ += packet.body.size();
    s.expected = static_cast<std::uint16_t>(h.sequence + 1);

    if (h.subPackage != SubPackage::Atomic && h.subPackage != SubPackage::Last) {
        return false;
    }
    if (s.frame.bytes.empty()) {
        s.open = false;  // nothing to show or play
        ++counters_.dropped;
        return false;
    }
    s.open = false;
    pendingBytes_ -= s.frame.bytes.size();
    out = std::move(s.frame);
    s.frame = Frame{};
    ++counters_.frames;
    return true;
}

void FrameReassembler::forget(const std::string& sim, std::uint8_t channel) {
    for (const Kind kind : {Kind::Video, Kind::Audio}) {
        const auto it = streams_.find(Key(sim, channel, kind));
        if (it != streams_.end()) {
            drop(it->second);
            ages_.erase(it->second.age);
            streams_.erase(it);
        }
    }
}

}  // namespace jt1078
