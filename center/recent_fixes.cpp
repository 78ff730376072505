#include "center/recent_fixes.h"

#include <variant>

#include "protocol/json_codec.h"

namespace center {

std::uint64_t RecentFixes::keyOf(std::string_view dev, std::string_view sentence) {
    // FNV-1a over both, with a separator no phone holds; 64 bits make a
    // collision among a few hundred thousand fixes a non-event.
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
    const auto it = bySum_.find(key);
    return it == bySum_.end() ? 0 : it->second;
}

void RecentFixes::remember(std::uint64_t key, std::uint64_t seq) {
    if (!bySum_.insert_or_assign(key, seq).second) {
        return;  // already in the order
    }
    order_.push_back(key);
    while (order_.size() > capacity_) {
        bySum_.erase(order_.front());
        order_.pop_front();
    }
}

void RecentFixes::rememberLine(std::string_view line, std::uint64_t seq) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
    }
    const auto decoded = vardo::protocol::decodeLine(line);
    if (const auto* gps =
            decoded.ok() ? std::get_if<vardo::protocol::Gps>(&decoded.message) : nullptr) {
        remember(keyOf(gps->dev, gps->gps), seq);
    }
}

}  // namespace center
