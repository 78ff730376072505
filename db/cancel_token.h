#pragma once
// Lets another thread break off what a database connection is doing: the
// service stop, when the worker has not ended within its wait (a call stuck
// on a dead network or a locked database).
//
// A backend arms the token with what breaks its current call (for as long as
// the connection or the call lasts) and disarms it before that stops being
// safe (before the handle is freed): Cancel runs the hook under the same
// lock, so it never touches a freed handle.

#include <atomic>
#include <functional>
#include <mutex>

namespace db {

class CancelToken {
public:
    // Any thread. Runs the armed hook; every later Arm runs its hook at once
    // too, until Reset.
    void Cancel() {
        std::lock_guard lock(m_mutex);
        m_cancelled = true;
        if (m_hook) {
            m_hook();
        }
    }
    bool Cancelled() const { return m_cancelled.load(); }
    void Reset() {
        std::lock_guard lock(m_mutex);
        m_cancelled = false;
    }

    // The thread that uses the connection. The hook must not block.
    void Arm(std::function<void()> hook) {
        std::lock_guard lock(m_mutex);
        m_hook = std::move(hook);
        if (m_cancelled && m_hook) {
            m_hook();
        }
    }
    void Disarm() {
        std::lock_guard lock(m_mutex);
        m_hook = nullptr;
    }

private:
    std::mutex m_mutex;
    std::function<void()> m_hook;  // guarded by m_mutex
    std::atomic<bool> m_cancelled{false};
};

}  // namespace db
