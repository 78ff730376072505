#include "jt808/subpackage_assembler.h"

namespace jt808 {

SubpackageAssembler::Outcome SubpackageAssembler::add(Message piece, Clock::time_point now) {
    Outcome out;
    const Header& h = piece.header;
    if (!h.subpackaged) {
        out.status = Status::Complete;
        out.message = std::move(piece);
        return out;
    }
    if (h.packageTotal == 0 || h.packageIndex == 0 || h.packageIndex > h.packageTotal) {
        out.error = "package " + std::to_string(h.packageIndex) + " of " +
                    std::to_string(h.packageTotal) + " does not exist";
        return out;
    }
    expire(now);

    const auto firstSerial = static_cast<std::uint16_t>(h.serial - (h.packageIndex - 1));
    const Key key{h.phone, h.msgId, firstSerial};
    auto it = pending_.find(key);
    if (it == pending_.end()) {
        if (pending_.size() >= limits_.maxMessages) {
            out.error =
                "too many sub-packaged messages pending (" + std::to_string(pending_.size()) + ")";
            return out;
        }
    } else if (it->second.total != h.packageTotal) {
        out.error = "package total " + std::to_string(h.packageTotal) + " differs from the " +
                    std::to_string(it->second.total) + " of earlier pieces";
        return out;
    } else if (it->second.pieces.count(h.packageIndex) != 0) {
        out.status = Status::Duplicate;
        return out;
    }
    if (bytes_ + (pieces_ + 1) * kPieceCost + piece.body.size() > limits_.maxBytes) {
        out.error =
            "sub-packaged messages pending hold too many bytes (" + std::to_string(bytes_) + ")";
        return out;
    }

    if (it == pending_.end()) {
        it = pending_.emplace(key, Pending{}).first;
        it->second.total = h.packageTotal;
        it->second.first = h;
    }
    Pending& p = it->second;
    if (h.packageIndex == 1) {
        p.first = h;
        p.haveFirst = true;
    }
    p.last = now;
    p.bytes += piece.body.size();
    bytes_ += piece.body.size();
    ++pieces_;
    p.pieces.emplace(h.packageIndex, std::move(piece.body));

    if (p.pieces.size() < p.total) {
        out.status = Status::Pending;
        return out;
    }
    Message whole;
    whole.header = p.first;
    whole.header.subpackaged = false;
    whole.header.packageTotal = 0;
    whole.header.packageIndex = 0;
    whole.header.serial = firstSerial;
    whole.body.reserve(p.bytes);
    for (auto& [index, body] : p.pieces) {
        whole.body.insert(whole.body.end(), body.begin(), body.end());
    }
    bytes_ -= p.bytes;
    pieces_ -= p.pieces.size();
    pending_.erase(it);
    out.status = Status::Complete;
    out.message = std::move(whole);
    return out;
}

std::size_t SubpackageAssembler::expire(Clock::time_point now) {
    std::size_t dropped = 0;
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (now - it->second.last >= limits_.timeout) {
            bytes_ -= it->second.bytes;
            pieces_ -= it->second.pieces.size();
            it = pending_.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

}  // namespace jt808
