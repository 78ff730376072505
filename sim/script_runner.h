#pragma once
// Runs script commands against the server, one after the other: `sleep` and
// `wait-login` hold the following commands back, everything else happens at
// once. Lines come from a reader thread (a file or standard input), so a test
// can feed commands while the simulator runs.
//
// Threads: the reader thread only fills the inbox; everything else runs on
// the io_context's thread.

#include <asio.hpp>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/center_server.h"
#include "sim/script.h"

namespace sim {

class ScriptRunner {
public:
    // `onExit` is called for the `exit` command.
    ScriptRunner(asio::io_context& io, CenterServer& server, std::function<void()> onExit);
    ~ScriptRunner();
    ScriptRunner(const ScriptRunner&) = delete;
    ScriptRunner& operator=(const ScriptRunner&) = delete;

    // Checks every line of a file before anything runs; the errors, one a
    // line, or nothing when the file is good and running.
    std::vector<std::string> runFile(const std::string& path);
    // Reads standard input as it comes; a wrong line is reported and skipped.
    void runStandardInput();
    // Runs already parsed commands (tests).
    void runCommands(std::vector<Command> commands);

private:
    // Shared with the reader thread, which may outlive the runner: the
    // process can end while it waits for input.
    struct Inbox {
        std::mutex mutex;
        std::deque<std::string> lines;  // guarded by mutex
        std::function<void()> wake;     // guarded by mutex; empty once the runner is gone
    };

    void pump();
    bool execute(const Command& command);  // false: wait before the next one
    void report(const std::string& error);

    asio::io_context& io_;
    CenterServer& server_;
    std::function<void()> onExit_;
    asio::steady_timer sleepTimer_;
    std::deque<Command> queue_;
    std::shared_ptr<Inbox> inbox_;
    bool waiting_ = false;  // a sleep or wait-login holds the queue
    bool waitingForLogin_ = false;
    bool exited_ = false;
    int lineNumber_ = 0;
};

}  // namespace sim
