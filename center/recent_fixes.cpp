#include "center/recent_fixes.h"

#include <variant>

#include "protocol/json_codec.h"

namespace center {

std::uint64_t RecentFixes::keyOf(std::string_view dev, std::string_view sentence) {
    // FNV-1a over both, with a separator no phone holds; 64 bits make a
    // collision among a device's last few fixes a non-event.
    std::uint64_t h = 1469598103934665603ull;
    const auto mix = [&h](std::string_view bytes) {
        for (const char c : bytes) {
            h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        }
    };
    mix(dev);
    mix(std::string_view("\n", 1));
    mix(sentence);
    return h;
}

std::uint64_t RecentFixes::find(std::uint64_t key) const {
    for (std::size_t i = 0; i < kKept; ++i) {
        if (keys_[i] == key && seqs_[i] != 0) {
            return seqs_[i];
        }
    }
    return 0;
}

void RecentFixes::remember(std::uint64_t key, std::uint64_t seq) {
    keys_[next_] = key;
    seqs_[next_] = seq;
    next_ = static_cast<std::uint8_t>((next_ + 1) % kKept);
}

std::optional<std::pair<std::string, std::string>> FixOfLine(std::string_view line) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    auto decoded = vardo::protocol::decodeLine(line);
    auto* gps = decoded.ok() ? std::get_if<vardo::protocol::Gps>(&decoded.message) : nullptr;
    if (gps == nullptr) {
        return std::nullopt;
    }
    return std::make_pair(std::move(gps->dev), std::move(gps->gps));
}

}  // namespace center
