#pragma once
// How long to let a batch gather before handling it (a pass of the io
// thread, a sync of the journal): long enough that a steady stream brings
// `wanted` items, within [shortest, longest].
//
// A fixed wait tuned for a large fleet leaves a small one with batches of
// one or two reports, each paying a wake-up and a disk sync of its own, so
// that a thousand terminals cost ten times as much apiece as a hundred
// thousand. Waiting for the batch to fill keeps that price per report flat,
// at the cost of answers up to `longest` later, which a terminal reporting
// every few seconds does not notice.
//
// A stream too thin to bring even `fewest` items in the longest wait gets
// the shortest: waiting would add to each answer and save next to nothing.
// That keeps a lone terminal that sends its stored positions one by one,
// each after the answer to the last, as fast as it was.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace net {

class BatchPace {
public:
    struct Limits {
        std::chrono::microseconds shortest{0};
        std::chrono::microseconds longest{0};
        double wanted = 1;
        double fewest = 1;
    };

    explicit BatchPace(Limits limits) : limits_(limits) {}

    // `items` came in the `elapsed` since the last call; the wait for the
    // next batch.
    std::chrono::microseconds next(std::size_t items, std::chrono::nanoseconds elapsed);

    // Items a second, as seen over about the last second (a rise, over the
    // last tenth of one).
    double rate() const { return rate_; }

private:
    Limits limits_;
    double rate_ = 0;
};

}  // namespace net
