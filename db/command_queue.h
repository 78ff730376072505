#pragma once
// CMyCommandQueue: the statements waiting for the database worker, bounded
// in memory and, with the journal attached, kept on disk until they ran.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "db/journal_wake.h"
#include "db/sql_command.h"

namespace db {
class CStatementJournal;
}

// First-in first-out queue of statements waiting for the database worker.
// Pushed on the window thread, popped by the worker; every operation holds the
// lock for itself alone and calls nothing else under it, apart from the
// journal's appends (which only copy bytes into its writer's buffer).
//
// Without a journal, past its bound the oldest statement is dropped (and
// counted) so that a long database outage cannot eat all memory.
//
// With a journal attached, every statement is appended to it when pushed and
// the queue in memory is a window onto it: past the bound, statements stay
// on disk only and the worker reads them back in order as the window empties
// (statements an earlier run left come first the same way). The journal
// learns how far statements have left the queue, so that it can reclaim its
// space; nothing is dropped unless the journal's own size limit deletes it.
//
// The worker takes statements with Take/WaitTake; they stay pending (counted
// in InFlight and against the bound) until it reports them finished with
// Settle, or puts them back at the front with PutBack when it stops before
// they were committed.
class CMyCommandQueue {
public:
    static constexpr std::size_t kDefaultMaxSize = 1'000'000;

    explicit CMyCommandQueue(std::size_t maxSize = kDefaultMaxSize);
    ~CMyCommandQueue();
    CMyCommandQueue(const CMyCommandQueue&) = delete;
    CMyCommandQueue& operator=(const CMyCommandQueue&) = delete;

    // Appends at the back; wakes a waiting worker. With a journal and
    // JournalWake::Later, its writer is left asleep for this statement: the
    // caller calls WakeJournal() after its run of pushes.
    void Push(db::SqlCommand command, db::JournalWake journalWake = db::JournalWake::Now);
    void WakeJournal();
    // Wakes every WaitTake so it looks at its flag again.
    void WakeAll();
    // Moves up to `max` statements from the front to the back of `out`, in
    // order; they are in flight until settled or put back. Returns how many.
    std::size_t Take(std::vector<db::SqlCommand>& out, std::size_t max);
    // The same, first waiting until a statement can be taken or keepWaiting
    // is false while the queue is empty (0 then), or `until` has passed (0
    // too). Whoever clears keepWaiting calls WakeAll() afterwards. With a
    // journal, the window is refilled from it here.
    std::size_t WaitTake(
        std::vector<db::SqlCommand>& out, std::size_t max, const std::atomic<bool>& keepWaiting,
        std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max());
    // `count` statements in flight are finished: committed or dropped. They
    // are the `count` starting at `first` of those in flight, in the order
    // they were taken.
    void Settle(std::size_t count) { Settle(0, count); }
    void Settle(std::size_t first, std::size_t count);
    // Statements in flight go back to the front, in their order (a worker
    // that stops before they committed); `back` is left empty.
    void PutBack(std::vector<db::SqlCommand>& back);

    // Without a journal: discards every pending statement and returns how
    // many there were. With one: they stay in the journal for the next
    // start; the window empties and the count says how many wait there.
    std::size_t Clear();

    // While the queue is empty and the worker stopped (service start and
    // stop). Attaching makes the statements the journal holds from earlier
    // runs the first to be taken; detaching marks how far the queue got,
    // fsyncs and closes the journal, and returns how many statements wait in
    // it (the window is emptied: they are all on disk).
    void AttachJournal(std::unique_ptr<db::CStatementJournal> journal);
    std::size_t DetachJournal();
    bool HasJournal() const;
    // The journal's number of the statement pushed last (0 without a
    // journal or before any) and the number up to which every statement is
    // on disk and synced (all of them, UINT64_MAX, without a journal: nothing
    // more will be). Read together, so that the window thread takes the
    // lock once a notification for both.
    struct JournalProgress {
        std::uint64_t lastPushed = 0;
        std::uint64_t syncedUpTo = 0;
    };
    JournalProgress GetJournalProgress() const;

    // Statements waiting to be taken (not those in flight), those only on
    // disk included.
    std::size_t Size() const;
    std::size_t InFlight() const;
    // Waiting and in flight, read at one instant.
    std::size_t Pending() const;
    std::size_t MaxSize() const;
    void SetMaxSize(std::size_t maxSize);  // 0 means the default

    // Counters since construction; readable from any thread.
    std::uint64_t PushedCount() const { return m_pushed.load(std::memory_order_relaxed); }
    // Dropped past the bound, or (journal) deleted by its size limit.
    std::uint64_t DroppedCount() const { return m_dropped.load(std::memory_order_relaxed); }
    std::uint64_t DiscardedCount() const { return m_discarded.load(std::memory_order_relaxed); }
    // Statements left in the journal by stops (Clear with a journal).
    std::uint64_t KeptCount() const { return m_kept.load(std::memory_order_relaxed); }
    // Statements of earlier runs read back from the journal.
    std::uint64_t ReplayedCount() const { return m_replayed.load(std::memory_order_relaxed); }
    // Statements that went to disk only because the window was full.
    std::uint64_t SpilledCount() const { return m_spilledCount.load(std::memory_order_relaxed); }

private:
    struct Entry {
        db::SqlCommand command;
        std::uint64_t seq = 0;  // its place in the journal; 0 without one
    };

    void TrimLocked();
    std::size_t TakeLocked(std::vector<db::SqlCommand>& out, std::size_t max);
    std::size_t OnDiskLocked() const;
    void MarkDoneLocked();
    bool RefillLocked(std::unique_lock<std::mutex>& lock);

    mutable std::mutex m_cs;
    std::condition_variable m_cv;
    std::deque<Entry> m_list;            // guarded by m_cs
    std::deque<std::uint64_t> m_flight;  // seqs in flight, in taken order; guarded by m_cs
    std::size_t m_maxSize;               // guarded by m_cs
    // Guarded by m_cs. With a journal: statements from m_diskFrom up to the
    // journal's next seq are on disk only (none when they are equal).
    std::unique_ptr<db::CStatementJournal> m_journal;
    std::uint64_t m_diskFrom = 0;
    std::uint64_t m_nextSeq = 0;     // the seq the next push gets
    std::uint64_t m_markedDone = 0;  // the last done mark handed to the journal
    std::uint64_t m_replayEnd = 0;   // seqs below it came from earlier runs
    bool m_refilling = false;        // a reader is at the journal (lock released)
    std::atomic<std::uint64_t> m_pushed{0};
    std::atomic<std::uint64_t> m_dropped{0};
    std::atomic<std::uint64_t> m_discarded{0};
    std::atomic<std::uint64_t> m_kept{0};
    std::atomic<std::uint64_t> m_replayed{0};
    std::atomic<std::uint64_t> m_spilledCount{0};
};
