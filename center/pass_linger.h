#pragma once
// The io thread's linger before each pass (net/run_in_passes.h): the one
// configured, and up to kLongestLingers of it while the terminals' reports
// come too thinly to fill the passes (a thousand terminals reporting every
// 10 s: a report every 10 ms, a pass apiece). A pass then carries a few
// reports, which share one wake-up, and the journal's writer is handed them
// together; answers leave up to that much later.
//
// Never while the center relays media: a pass's frames leave at its end,
// and would reach the event servers in bursts the longer it lingers.
//
// Thread: the io thread.

#include <chrono>
#include <cstdint>
#include <functional>

#include "net/batch_pace.h"

namespace center {

inline constexpr int kLongestLingers = 5;

class PassLinger {
public:
    // `reports`: how many reports the center has taken so far; `relaying`:
    // whether any media stream is open.
    PassLinger(std::chrono::microseconds linger, std::function<std::uint64_t()> reports,
               std::function<bool()> relaying);

    std::chrono::microseconds operator()();

private:
    std::chrono::microseconds linger_;
    net::BatchPace pace_;
    std::function<std::uint64_t()> reports_;
    std::function<bool()> relaying_;
    std::uint64_t counted_ = 0;
    std::chrono::steady_clock::time_point countedAt_;
};

}  // namespace center
