#pragma once
// CMyThread, the base of the program's long-running threads: a run flag, a
// stop that wakes and joins, and a sleep that a stop ends.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

// A thread object with a run flag. Start sets the flag and starts Run() on a
// new thread; Stop clears the flag, wakes the waits of the thread
// (SleepWhileRunning and whatever OnStopRequested wakes) and joins it.
//
// States: not running (no thread, m_bRun false), running (thread, m_bRun
// true), stopping (m_bRun false, Run() finishing its pass). A derived class
// calls Stop in its own destructor, while its members still exist.
class CMyThread {
public:
    CMyThread() = default;
    virtual ~CMyThread();
    CMyThread(const CMyThread&) = delete;
    CMyThread& operator=(const CMyThread&) = delete;

    // True when a thread runs on return. A second Start while the thread is
    // still running starts no second thread; it returns true.
    virtual bool Start();

    // Clears the run flag and waits for the thread to end. timeoutMs is how
    // long the end is expected to take; past it OnStopOverran() is called to
    // break off what the thread is stuck in, and the wait goes on (the caller
    // may close what the thread still uses right after Stop returns), so Stop
    // always joins. On an object without a thread it only clears the flag.
    // Called from Run() itself it only clears the flag.
    virtual void Stop(std::uint32_t timeoutMs);

    // Sleeps for the duration or until a stop is requested; returns at once
    // when the flag is clear. True when the full duration passed while running.
    virtual bool SleepWhileRunning(std::uint32_t durationMs);

    bool IsRunning() const { return m_bRun.load(); }
    bool HasThread() const;

protected:
    // The thread body; runs until m_bRun is false. An exception ends the
    // thread (and goes no further).
    virtual void Run() = 0;
    // Called by Stop after clearing m_bRun, on the stopping thread: wake any
    // wait of Run() that SleepWhileRunning does not cover.
    virtual void OnStopRequested() {}
    // Called by Stop, on the stopping thread, when the thread has not ended
    // within the time-out: break off the call Run() is blocked in.
    virtual void OnStopOverran() {}

    std::atomic<bool> m_bRun{false};

private:
    static void ThreadProc(CMyThread* self);

    mutable std::mutex m_mutex;  // guards m_hThread, m_ended; sleeps wait on it
    std::condition_variable m_wake;
    std::thread m_hThread;
    bool m_ended = true;
};
