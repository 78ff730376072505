#pragma once
// The registry's writes on a thread of their own, so that a slow disk (SQLite
// waits for its locks and its fsync) or a slow database server never holds
// up the center's io thread and with it every terminal. Jobs run in the
// order they were posted, each with the writer's own connection to the
// registry; a job that needs to answer posts its result back to the io
// thread itself.
//
// Thread: post() from any thread; the jobs on the writer's thread.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "center/registry.h"

namespace center {

class RegistryWriter {
public:
    using Job = std::function<void(Registry&)>;

    RegistryWriter() = default;
    // Runs what is queued, then stops.
    ~RegistryWriter();
    RegistryWriter(const RegistryWriter&) = delete;
    RegistryWriter& operator=(const RegistryWriter&) = delete;

    // Opens its own connection to `registry` and starts; the error text.
    std::string start(Registry& registry);
    void post(Job job);
    // Runs what is queued and joins the thread; jobs posted later are dropped.
    void stop();

private:
    void run();

    std::unique_ptr<Registry> registry_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;   // guarded by mutex_
    bool stopping_ = false;  // guarded by mutex_
    std::thread thread_;
};

}  // namespace center
