#include "db/command_queue.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <limits>

#include "db/statement_journal.h"

namespace {
// How many statements one read from the journal brings into the window.
constexpr std::size_t kRefillBatch = 4096;
// How long the worker waits before trying a journal it could not read again.
constexpr auto kRefillRetry = std::chrono::seconds(1);
// How long a stop gives a failing disk to take what is only in memory.
constexpr auto kCloseWait = std::chrono::seconds(5);
}  // namespace

CMyCommandQueue::CMyCommandQueue(std::size_t maxSize)
    : m_maxSize(maxSize == 0 ? kDefaultMaxSize : maxSize) {}

CMyCommandQueue::~CMyCommandQueue() {
    DetachJournal();
}

void CMyCommandQueue::TrimLocked() {
    if (m_journal) {
        // Everything is on disk: the back of the window goes back to it.
        while (!m_list.empty() && m_list.back().seq != 0 &&
               m_list.size() + m_flight.size() > m_maxSize) {
            m_diskFrom = m_list.back().seq;
            m_list.pop_back();
        }
        return;
    }
    // Statements in flight are inside a transaction: only waiting ones go.
    while (!m_list.empty() && m_list.size() + m_flight.size() > m_maxSize) {
        m_list.pop_front();
        m_dropped.fetch_add(1, std::memory_order_relaxed);
    }
}

void CMyCommandQueue::Push(db::SqlCommand command, db::JournalWake journalWake) {
    {
        std::lock_guard lock(m_cs);
        m_pushed.fetch_add(1, std::memory_order_relaxed);
        if (m_journal) {
            // Older ones waiting on disk only, or a full window: this one
            // waits there too.
            const bool inWindow =
                m_diskFrom >= m_nextSeq && m_list.size() + m_flight.size() < m_maxSize;
            const std::uint64_t seq = m_journal->Append(command, inWindow, journalWake);
            m_nextSeq = seq + 1;
            if (inWindow) {
                m_list.push_back({std::move(command), seq});
                m_diskFrom = m_nextSeq;
            } else {
                m_spilledCount.fetch_add(1, std::memory_order_relaxed);
            }
        } else {
            m_list.push_back({std::move(command), 0});
            TrimLocked();
        }
    }
    m_cv.notify_one();
}

std::size_t CMyCommandQueue::Take(std::vector<db::SqlCommand>& out, std::size_t max) {
    std::lock_guard lock(m_cs);
    return TakeLocked(out, max);
}

std::size_t CMyCommandQueue::TakeLocked(std::vector<db::SqlCommand>& out, std::size_t max) {
    const std::size_t n = std::min(max, m_list.size());
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(std::move(m_list.front().command));
        m_flight.push_back(m_list.front().seq);
        m_list.pop_front();
    }
    return n;
}

std::size_t CMyCommandQueue::WaitTake(std::vector<db::SqlCommand>& out, std::size_t max,
                                      const std::atomic<bool>& keepWaiting,
                                      std::chrono::steady_clock::time_point until) {
    // libstdc++ overflows converting time_point::max() to the system clock.
    const bool forever = until == std::chrono::steady_clock::time_point::max();
    std::unique_lock lock(m_cs);
    while (true) {
        const auto ready = [&] {
            return !m_list.empty() || OnDiskLocked() > 0 || !keepWaiting.load();
        };
        if (forever) {
            m_cv.wait(lock, ready);
        } else if (!m_cv.wait_until(lock, until, ready)) {
            return 0;
        }
        if (!m_list.empty() || !keepWaiting.load()) {
            return TakeLocked(out, max);
        }
        if (!RefillLocked(lock)) {
            const auto retry = std::chrono::steady_clock::now() + kRefillRetry;
            m_cv.wait_until(lock, forever ? retry : std::min(retry, until),
                            [&] { return !keepWaiting.load(); });
            if (!forever && std::chrono::steady_clock::now() >= until) {
                return 0;
            }
        }
    }
}

// Reads the next statements that wait on disk into the window, with the lock
// released while the file is read (pushes go on meanwhile, to disk). False
// when nothing could be read.
bool CMyCommandQueue::RefillLocked(std::unique_lock<std::mutex>& lock) {
    db::CStatementJournal* journal = m_journal.get();
    if (journal == nullptr || m_refilling) {
        return false;
    }
    const std::uint64_t from = m_diskFrom;
    const std::size_t used = m_list.size() + m_flight.size();
    const std::size_t room =
        std::clamp<std::size_t>(m_maxSize > used ? m_maxSize - used : 0, 1, kRefillBatch);
    m_refilling = true;
    std::vector<db::CStatementJournal::Entry> read;
    std::uint64_t next = from;
    lock.unlock();
    try {
        next = journal->Read(from, room, read);
    } catch (...) {
        read.clear();  // out of memory: the statements stay on disk
        next = from;
    }
    lock.lock();
    m_refilling = false;
    m_cv.notify_all();
    std::uint64_t expected = from;
    for (auto& [seq, command] : read) {
        if (seq > expected) {
            m_dropped.fetch_add(seq - expected, std::memory_order_relaxed);
        }
        if (seq < m_replayEnd) {
            m_replayed.fetch_add(1, std::memory_order_relaxed);
        }
        m_list.push_back({std::move(command), seq});
        expected = seq + 1;
    }
    next = std::min(std::max(next, expected), m_nextSeq);
    if (next > expected) {
        m_dropped.fetch_add(next - expected, std::memory_order_relaxed);
    }
    m_diskFrom = next;
    if (next > from) {
        MarkDoneLocked();  // statements deleted on disk are gone for good
    }
    return next > from;
}

std::size_t CMyCommandQueue::OnDiskLocked() const {
    return m_journal && m_diskFrom < m_nextSeq ? static_cast<std::size_t>(m_nextSeq - m_diskFrom)
                                               : 0;
}

// Tells the journal how far statements have left the queue: everything below
// the oldest one still pending.
void CMyCommandQueue::MarkDoneLocked() {
    if (!m_journal) {
        return;
    }
    const std::uint64_t oldest = !m_flight.empty() ? m_flight.front()
                                 : !m_list.empty() ? m_list.front().seq
                                                   : m_diskFrom;
    if (oldest > 0 && oldest - 1 > m_markedDone) {  // seq 0: not in the journal
        m_markedDone = oldest - 1;
        m_journal->MarkDone(m_markedDone);
    }
}

void CMyCommandQueue::Settle(std::size_t first, std::size_t count) {
    std::lock_guard lock(m_cs);
    first = std::min(first, m_flight.size());
    count = std::min(count, m_flight.size() - first);
    const auto begin = m_flight.begin() + static_cast<std::ptrdiff_t>(first);
    m_flight.erase(begin, begin + static_cast<std::ptrdiff_t>(count));
    MarkDoneLocked();
}

void CMyCommandQueue::PutBack(std::vector<db::SqlCommand>& back) {
    {
        std::lock_guard lock(m_cs);
        // `back` is what is in flight, in taken order.
        const std::size_t n = std::min(back.size(), m_flight.size());
        std::deque<Entry> entries;
        for (std::size_t i = 0; i < back.size(); ++i) {
            entries.push_back({std::move(back[i]), i < n ? m_flight[i] : 0});
        }
        m_flight.erase(m_flight.begin(), m_flight.begin() + static_cast<std::ptrdiff_t>(n));
        m_list.insert(m_list.begin(), std::make_move_iterator(entries.begin()),
                      std::make_move_iterator(entries.end()));
        TrimLocked();
    }
    back.clear();
    m_cv.notify_one();
}

void CMyCommandQueue::WakeJournal() {
    std::lock_guard lock(m_cs);
    if (m_journal) {
        m_journal->WakeWriter();
    }
}

void CMyCommandQueue::WakeAll() {
    // Taking the lock orders this wake after a waiter's check of its flag.
    { std::lock_guard lock(m_cs); }
    m_cv.notify_all();
}

std::size_t CMyCommandQueue::Clear() {
    if (HasJournal()) {
        return DetachJournal();
    }
    std::deque<Entry> gone;
    {
        std::lock_guard lock(m_cs);
        gone.swap(m_list);
    }
    m_discarded.fetch_add(gone.size(), std::memory_order_relaxed);
    return gone.size();  // freed outside the lock
}

void CMyCommandQueue::AttachJournal(std::unique_ptr<db::CStatementJournal> journal) {
    std::unique_ptr<db::CStatementJournal> old;
    {
        std::lock_guard lock(m_cs);
        old = std::move(m_journal);
        m_journal = std::move(journal);
        if (!m_journal) {
            return;
        }
        m_diskFrom = m_journal->FirstWaiting();
        m_markedDone = m_diskFrom - 1;
        m_replayEnd = m_journal->NextSeq();
        // Statements pushed before the journal came go after those it holds.
        for (Entry& e : m_list) {
            e.seq = m_journal->Append(e.command);
        }
        m_list.clear();
        m_nextSeq = m_journal->NextSeq();
    }
    m_cv.notify_all();
}

std::size_t CMyCommandQueue::DetachJournal() {
    std::unique_ptr<db::CStatementJournal> journal;
    std::size_t waiting = 0;
    std::deque<Entry> gone;
    {
        std::unique_lock lock(m_cs);
        // A reader still at the journal (a worker not yet joined) finishes
        // first: the journal must outlive its read.
        m_cv.wait(lock, [&] { return !m_refilling; });
        if (!m_journal) {
            return 0;
        }
        MarkDoneLocked();
        waiting = m_list.size() + m_flight.size() + OnDiskLocked();
        gone.swap(m_list);
        m_flight.clear();
        journal = std::move(m_journal);
        m_diskFrom = m_nextSeq = m_markedDone = m_replayEnd = 0;
    }
    // Writes, fsyncs and closes, outside the lock. What then exists nowhere
    // on disk is lost with the window: the disk refused it, or the size
    // limit deleted it while it was in the window (discarded now), or while
    // it waited on disk only (logged then, dropped).
    const std::uint64_t lost = journal->Close(kCloseWait);
    const std::uint64_t kept = std::min<std::uint64_t>(journal->WaitingOnDisk(), waiting);
    journal.reset();
    const std::uint64_t discarded = std::min<std::uint64_t>(lost, waiting - kept);
    m_discarded.fetch_add(discarded, std::memory_order_relaxed);
    m_dropped.fetch_add(waiting - kept - discarded, std::memory_order_relaxed);
    m_kept.fetch_add(kept, std::memory_order_relaxed);
    return static_cast<std::size_t>(kept);
}

bool CMyCommandQueue::HasJournal() const {
    std::lock_guard lock(m_cs);
    return m_journal != nullptr;
}

CMyCommandQueue::JournalProgress CMyCommandQueue::GetJournalProgress() const {
    std::lock_guard lock(m_cs);
    if (!m_journal) {
        return {0, std::numeric_limits<std::uint64_t>::max()};
    }
    return {m_nextSeq - 1, m_journal->SyncedUpTo()};
}

std::size_t CMyCommandQueue::Size() const {
    std::lock_guard lock(m_cs);
    return m_list.size() + OnDiskLocked();
}

std::size_t CMyCommandQueue::InFlight() const {
    std::lock_guard lock(m_cs);
    return m_flight.size();
}

std::size_t CMyCommandQueue::Pending() const {
    std::lock_guard lock(m_cs);
    return m_list.size() + m_flight.size() + OnDiskLocked();
}

std::size_t CMyCommandQueue::MaxSize() const {
    std::lock_guard lock(m_cs);
    return m_maxSize;
}

void CMyCommandQueue::SetMaxSize(std::size_t maxSize) {
    std::lock_guard lock(m_cs);
    m_maxSize = maxSize == 0 ? kDefaultMaxSize : maxSize;
    TrimLocked();
}
