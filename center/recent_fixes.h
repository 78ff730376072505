#pragma once
// The fixes one device had numbered lately, by a sum over the device and its
// sentence, so that a report a terminal sends again (its answer was lost, or
// the center was killed before it answered) is answered with the event it
// made the first time instead of making a second one.
//
// Kept per device: only the device's own new fixes push its older ones out,
// however busy the rest of the fleet is. A terminal sends again what was not
// answered before it reports anew, so the last few are what matters.
//
// Thread: the center's io thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace center {

class RecentFixes {
public:
    static constexpr std::size_t kKept = 16;

    // What a fix is known by: a sum over its device and its sentence,
    // taken once per report for both the look-up and the remembering.
    static std::uint64_t keyOf(std::string_view dev, std::string_view sentence);
    // The number of the event this fix made, or 0 when it is new.
    std::uint64_t find(std::uint64_t key) const;
    // Keeps the newest kKept fixes.
    void remember(std::uint64_t key, std::uint64_t seq);

private:
    std::array<std::uint64_t, kKept> keys_{};
    std::array<std::uint64_t, kKept> seqs_{};  // 0: the slot is empty
    std::uint8_t next_ = 0;
};

// The device and sentence of the fix a protocol line of the journal carries;
// nothing for any other line.
std::optional<std::pair<std::string, std::string>> FixOfLine(std::string_view line);

}  // namespace center
