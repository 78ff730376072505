#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "db/sql_command.h"

// First-in first-out queue of statements waiting for the database worker.
// Pushed on the window thread, popped by the worker; every operation holds the
// lock for itself alone and calls nothing else under it. Past its bound the
// oldest statement is dropped (and counted) so that a long database outage
// cannot eat all memory.
//
// The worker takes statements with Take/WaitTake; they stay pending (counted
// in InFlight and against the bound) until it reports them finished with
// Settle, or puts them back at the front with PutBack when it stops before
// they were committed.
class CMyCommandQueue {
public:
    static constexpr std::size_t kDefaultMaxSize = 1'000'000;

    explicit CMyCommandQueue(std::size_t maxSize = kDefaultMaxSize);
    CMyCommandQueue(const CMyCommandQueue&) = delete;
    CMyCommandQueue& operator=(const CMyCommandQueue&) = delete;

    // Appends at the back; wakes a waiting worker.
    void Push(db::SqlCommand command);
    // Takes the front statement; false (out unchanged) when empty.
    bool Pop(db::SqlCommand& out);
    // Waits until a statement can be taken (true) or keepWaiting is false
    // while the queue is empty (false). Whoever clears keepWaiting calls
    // WakeAll() afterwards.
    bool WaitPop(db::SqlCommand& out, const std::atomic<bool>& keepWaiting);
    // Wakes every WaitPop so it looks at its flag again.
    void WakeAll();
    // Puts a statement taken by Pop back at the front (a worker that stops
    // while retrying it); not counted as pushed, subject to the bound.
    void PushFront(db::SqlCommand command);
    // Moves up to `max` statements from the front to the back of `out`, in
    // order; they are in flight until settled or put back. Returns how many.
    std::size_t Take(std::vector<db::SqlCommand>& out, std::size_t max);
    // The same, first waiting as WaitPop does; 0 when keepWaiting ended it.
    std::size_t WaitTake(std::vector<db::SqlCommand>& out, std::size_t max,
                         const std::atomic<bool>& keepWaiting);
    // `count` statements in flight are finished: committed or dropped.
    void Settle(std::size_t count);
    // Statements in flight go back to the front, in their order (a worker
    // that stops before they committed); `back` is left empty.
    void PutBack(std::vector<db::SqlCommand>& back);

    // Discards every pending statement and returns how many there were.
    std::size_t Clear();

    // Statements waiting to be taken (not those in flight).
    std::size_t Size() const;
    std::size_t InFlight() const;
    // Waiting and in flight, read at one instant.
    std::size_t Pending() const;
    std::size_t MaxSize() const;
    void SetMaxSize(std::size_t maxSize);  // 0 means the default

    // Counters since construction; readable from any thread.
    std::uint64_t PushedCount() const { return m_pushed.load(std::memory_order_relaxed); }
    std::uint64_t DroppedCount() const { return m_dropped.load(std::memory_order_relaxed); }
    std::uint64_t DiscardedCount() const { return m_discarded.load(std::memory_order_relaxed); }

private:
    void TrimLocked();
    std::size_t TakeLocked(std::vector<db::SqlCommand>& out, std::size_t max);

    mutable std::mutex m_cs;
    std::condition_variable m_cv;
    std::deque<db::SqlCommand> m_list;  // guarded by m_cs
    std::size_t m_maxSize;              // guarded by m_cs
    std::size_t m_inFlight = 0;         // guarded by m_cs
    std::atomic<std::uint64_t> m_pushed{0};
    std::atomic<std::uint64_t> m_dropped{0};
    std::atomic<std::uint64_t> m_discarded{0};
};
