#pragma once
// The fixes the center numbered lately, by device and sentence, so that a
// report a terminal sends again (its answer was lost, or the center was
// killed before it answered) is answered with the event it made the first
// time instead of making a second one.
//
// Thread: the center's io thread.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>

namespace center {

class RecentFixes {
public:
    static constexpr std::size_t kDefaultCapacity = 1u << 18;
    explicit RecentFixes(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}

    // What a fix is known by: a sum over its device and its sentence,
    // taken once per report for both the look-up and the remembering.
    static std::uint64_t keyOf(std::string_view dev, std::string_view sentence);
    // The number of the event this fix made, or 0 when it is new.
    std::uint64_t find(std::uint64_t key) const;
    // Keeps the newest `capacity` fixes.
    void remember(std::uint64_t key, std::uint64_t seq);
    // Remembers the fix a protocol line of the journal carries (any other
    // line is left out).
    void rememberLine(std::string_view line, std::uint64_t seq);
    std::size_t size() const { return bySum_.size(); }

private:
    std::size_t capacity_;
    std::unordered_map<std::uint64_t, std::uint64_t> bySum_;  // sum -> event number
    std::deque<std::uint64_t> order_;                         // oldest first
};

}  // namespace center
