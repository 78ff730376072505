#pragma once
// What the database worker has counted since it was made. The stop line, the
// status line and the metrics endpoint all read these, so they hold one copy.

#include <cstdint>

namespace db {

struct WorkerCounters {
    std::uint64_t queued = 0;    // statements pushed onto the queue
    std::uint64_t executed = 0;  // statements the database ran (applied or no rows)
    std::uint64_t rejected = 0;  // statements the database refused; dropped
    std::uint64_t dropped = 0;   // oldest statements dropped past the queue's bound (with the
                                 // journal: deleted by its size limit)
    std::uint64_t retried = 0;  // retries after a failed open, a lost connection or a busy database
    std::uint64_t discarded = 0;  // statements still queued when the service stopped
    std::uint64_t pending = 0;    // statements in the queue now, those in a transaction included
    std::uint64_t commits = 0;    // transactions committed (a statement run alone is one)
    std::uint64_t setAside = 0;   // statements the database always timed out on, kept in the
                                  // dead-letter file
    // With the journal:
    std::uint64_t kept = 0;      // statements left in the journal by stops, for the next start
    std::uint64_t replayed = 0;  // statements of earlier runs read back from the journal
    std::uint64_t spilled = 0;   // statements kept on disk only while the queue was full
};

// What was counted from `earlier` to `later`, two readings of one worker: the
// totals are told apart; `pending` is how many wait now, so it is `later`'s.
inline WorkerCounters CountedSince(const WorkerCounters& earlier, const WorkerCounters& later) {
    WorkerCounters c = later;
    c.queued -= earlier.queued;
    c.executed -= earlier.executed;
    c.rejected -= earlier.rejected;
    c.dropped -= earlier.dropped;
    c.retried -= earlier.retried;
    c.discarded -= earlier.discarded;
    c.commits -= earlier.commits;
    c.setAside -= earlier.setAside;
    c.kept -= earlier.kept;
    c.replayed -= earlier.replayed;
    c.spilled -= earlier.spilled;
    return c;
}

}  // namespace db
