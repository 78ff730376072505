#include "db/command_queue.h"

#include <algorithm>
#include <iterator>

CMyCommandQueue::CMyCommandQueue(std::size_t maxSize)
    : m_maxSize(maxSize == 0 ? kDefaultMaxSize : maxSize) {}

void CMyCommandQueue::TrimLocked() {
    // Statements in flight are inside a transaction: only waiting ones go.
    while (!m_list.empty() && m_list.size() + m_inFlight > m_maxSize) {
        m_list.pop_front();
        m_dropped.fetch_add(1, std::memory_order_relaxed);
    }
}

void CMyCommandQueue::Push(db::SqlCommand command) {
    {
        std::lock_guard lock(m_cs);
        m_list.push_back(std::move(command));
        m_pushed.fetch_add(1, std::memory_order_relaxed);
        TrimLocked();
    }
    m_cv.notify_one();
}

void CMyCommandQueue::PushFront(db::SqlCommand command) {
    {
        std::lock_guard lock(m_cs);
        m_list.push_front(std::move(command));
        TrimLocked();
    }
    m_cv.notify_one();
}

bool CMyCommandQueue::Pop(db::SqlCommand& out) {
    std::lock_guard lock(m_cs);
    if (m_list.empty()) {
        return false;
    }
    out = std::move(m_list.front());
    m_list.pop_front();
    return true;
}

bool CMyCommandQueue::WaitPop(db::SqlCommand& out, const std::atomic<bool>& keepWaiting) {
    std::unique_lock lock(m_cs);
    m_cv.wait(lock, [&] { return !m_list.empty() || !keepWaiting.load(); });
    if (m_list.empty()) {
        return false;
    }
    out = std::move(m_list.front());
    m_list.pop_front();
    return true;
}

std::size_t CMyCommandQueue::Take(std::vector<db::SqlCommand>& out, std::size_t max) {
    std::lock_guard lock(m_cs);
    return TakeLocked(out, max);
}

std::size_t CMyCommandQueue::TakeLocked(std::vector<db::SqlCommand>& out, std::size_t max) {
    const std::size_t n = std::min(max, m_list.size());
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(std::move(m_list.front()));
        m_list.pop_front();
    }
    m_inFlight += n;
    return n;
}

std::size_t CMyCommandQueue::WaitTake(std::vector<db::SqlCommand>& out, std::size_t max,
                                      const std::atomic<bool>& keepWaiting) {
    std::unique_lock lock(m_cs);
    m_cv.wait(lock, [&] { return !m_list.empty() || !keepWaiting.load(); });
    return TakeLocked(out, max);
}

void CMyCommandQueue::Settle(std::size_t count) {
    std::lock_guard lock(m_cs);
    m_inFlight -= std::min(count, m_inFlight);
}

void CMyCommandQueue::PutBack(std::vector<db::SqlCommand>& back) {
    {
        std::lock_guard lock(m_cs);
        m_inFlight -= std::min(back.size(), m_inFlight);
        m_list.insert(m_list.begin(), std::make_move_iterator(back.begin()),
                      std::make_move_iterator(back.end()));
        TrimLocked();
    }
    back.clear();
    m_cv.notify_one();
}

void CMyCommandQueue::WakeAll() {
    // Taking the lock orders this wake after a waiter's check of its flag.
    { std::lock_guard lock(m_cs); }
    m_cv.notify_all();
}

std::size_t CMyCommandQueue::Clear() {
    std::deque<db::SqlCommand> gone;
    {
        std::lock_guard lock(m_cs);
        gone.swap(m_list);
    }
    m_discarded.fetch_add(gone.size(), std::memory_order_relaxed);
    return gone.size();  // freed outside the lock
}

std::size_t CMyCommandQueue::Size() const {
    std::lock_guard lock(m_cs);
    return m_list.size();
}

std::size_t CMyCommandQueue::InFlight() const {
    std::lock_guard lock(m_cs);
    return m_inFlight;
}

std::size_t CMyCommandQueue::Pending() const {
    std::lock_guard lock(m_cs);
    return m_list.size() + m_inFlight;
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
