#pragma once
// Counting numbered fixes sent against what was stored. From a fleet of
// terminals, terminal i's k-th fix lies at latitude 10 + k / 10000, longitude
// 100 + i / 1000, so each stored row names its own (terminal, fix) pair; from
// one device sending a series, fix n lies at latitude 10 + n / 1000.

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "testsupport/process/event_server_run.h"

namespace e2e {

struct Tally {
    std::uint64_t sent = 0;
    std::uint64_t stored = 0;
    std::uint64_t lost = 0;
    std::uint64_t doubled = 0;
    // The first few fixes missing and stored more than once, one a line,
    // for the failure message.
    std::string firstLost;
    std::string firstDoubled;
};

// `made[i]` is how many fixes terminal i made. Rows that are no numbered fix
// (no sentence, or outside the numbered area) are left out.
inline Tally Count(const std::vector<FixRow>& rows, const std::vector<std::uint64_t>& made) {
    constexpr std::uint64_t kLostShown = 20;
    std::map<std::pair<long, long>, int> seen;  // (terminal, fix) -> copies
    Tally t;
    for (const FixRow& row : rows) {
        if (row.gps.empty() || row.latitude < 9.99995 || row.longitude < 99.99995) {
            continue;
        }
        ++seen[{std::lround((row.longitude - 100.0) * 1000.0),
                std::lround((row.latitude - 10.0) * 10000.0)}];
        ++t.stored;
    }
    for (std::size_t i = 0; i < made.size(); ++i) {
        t.sent += made[i];
        for (std::uint64_t k = 0; k < made[i]; ++k) {
            const auto it = seen.find({static_cast<long>(i), static_cast<long>(k)});
            if (it == seen.end() && ++t.lost <= kLostShown) {
                t.firstLost += "lost: terminal " + std::to_string(i) + " fix " + std::to_string(k) +
                               " of " + std::to_string(made[i]) + "\n";
            }
            if (it != seen.end() && it->second > 1) {
                if (t.doubled < kLostShown) {
                    t.firstDoubled += "stored " + std::to_string(it->second) + " times: terminal " +
                                      std::to_string(i) + " fix " + std::to_string(k) + " of " +
                                      std::to_string(made[i]) + "\n";
                }
                t.doubled += it->second - 1;
            }
        }
    }
    return t;
}

// The series 0..sent-1 of one device. Rows that are no numbered fix (no
// sentence, or south of the numbered area) are left out.
inline Tally CountSeries(const std::vector<FixRow>& rows, std::uint64_t sent) {
    std::map<long, int> seen;  // fix -> copies
    Tally t;
    t.sent = sent;
    for (const FixRow& row : rows) {
        if (row.latitude >= 9.9995 && !row.gps.empty()) {
            ++seen[std::lround((row.latitude - 10.0) * 1000.0)];
            ++t.stored;
        }
    }
    for (std::uint64_t n = 0; n < sent; ++n) {
        const auto it = seen.find(static_cast<long>(n));
        if (it == seen.end()) {
            ++t.lost;
        } else {
            t.doubled += it->second > 1 ? it->second - 1 : 0;
        }
    }
    return t;
}

}  // namespace e2e
