#pragma once
// The database worker over a fresh database of each backend, started and
// stopped as the service does it, with what it logged kept for the test.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "db/command_queue.h"
#include "db/db_worker.h"
#include "tests/db/backend_fixture.h"

namespace dbtest {

// Short back-offs, so that a retry shows within a test.
inline db::WorkerOptions FastRetries() {
    using namespace std::chrono_literals;
    db::WorkerOptions o;
    o.openTimeoutSeconds = 5;
    o.firstBackoff = 20ms;
    o.maxBackoff = 200ms;
    return o;
}

class WorkerFixture : public BackendTest {
protected:
    void TearDown() override {
        if (worker) {
            worker->Stop(10000);
        }
        if (conn) {
            conn->Close();
        }
    }

    // A worker of its own (fresh counters) that logs into `log`.
    void MakeWorker(std::string connectionString, db::WorkerOptions options = FastRetries()) {
        worker.reset();
        worker = std::make_unique<CDbWorker>(queue, *conn, std::move(connectionString), options);
        worker->SetLogSink([this](const std::string& line) { log.push_back(line); });
    }

    // The service start: open, then start a new worker.
    void StartService(db::WorkerOptions options = FastRetries()) {
        ASSERT_TRUE(OpenConn()) << conn->LastError();
        MakeWorker(store->ConnectionString(), options);
        ASSERT_TRUE(worker->Start());
    }

    // The service stop: join the worker, close, discard what is left.
    std::size_t StopService() {
        worker->Stop(10000);
        conn->Close();
        return queue.Clear();
    }

    CMyCommandQueue queue;
    std::unique_ptr<CDbWorker> worker;
    std::vector<std::string> log;  // worker thread until joined
};

}  // namespace dbtest
