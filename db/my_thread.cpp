#include "db/my_thread.h"

#include <chrono>
#include <exception>

CMyThread::~CMyThread() {
    // A derived class has stopped the thread in its own destructor; this only
    // keeps a forgotten thread from outliving the object unjoined.
    m_bRun = false;
    std::thread t;
    {
        std::lock_guard lock(m_mutex);
        t = std::move(m_hThread);
    }
    m_wake.notify_all();
    if (t.joinable()) {
        if (t.get_id() == std::this_thread::get_id()) {
            t.detach();
        } else {
            t.join();
        }
    }
}

void CMyThread::ThreadProc(CMyThread* self) {
    try {
        self->Run();
    } catch (...) {
        // Nothing escapes the thread: it ends as if Run had returned.
    }
    std::lock_guard lock(self->m_mutex);
    self->m_ended = true;
    self->m_wake.notify_all();
}

bool CMyThread::HasThread() const {
    std::lock_guard lock(m_mutex);
    return m_hThread.joinable();
}

bool CMyThread::Start() {
    std::thread finished;
    {
        std::lock_guard lock(m_mutex);
        if (m_hThread.joinable()) {
            if (!m_ended) {
                m_bRun = true;  // the thread still runs: no second one
                return true;
            }
            finished = std::move(m_hThread);  // ended on its own
        }
    }
    if (finished.joinable()) {
        finished.join();
    }
    std::lock_guard lock(m_mutex);
    m_bRun = true;
    m_ended = false;
    try {
        m_hThread = std::thread(&CMyThread::ThreadProc, this);
    } catch (const std::exception&) {
        m_ended = true;  // m_bRun stays set, as after any failed start
        return false;
    }
    return true;
}

void CMyThread::Stop(std::uint32_t timeoutMs) {
    m_bRun = false;
    { std::lock_guard lock(m_mutex); }
    m_wake.notify_all();
    OnStopRequested();

    std::thread t;
    bool ended = true;
    {
        std::unique_lock lock(m_mutex);
        if (!m_hThread.joinable() || m_hThread.get_id() == std::this_thread::get_id()) {
            return;
        }
        ended =
            m_wake.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_ended; });
        t = std::move(m_hThread);
    }
    if (!ended) {
        OnStopOverran();
    }
    // Past the time-out the wait goes on: whatever the thread still uses is
    // closed by the caller right after Stop returns.
    t.join();
}

bool CMyThread::SleepWhileRunning(std::uint32_t durationMs) {
    std::unique_lock lock(m_mutex);
    const bool stopped = m_wake.wait_for(lock, std::chrono::milliseconds(durationMs),
                                         [&] { return !m_bRun.load(); });
    return !stopped;
}
