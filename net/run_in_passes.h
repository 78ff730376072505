#pragma once
// Runs an io_context in passes: a pass starts when something is ready (the
// thread blocks in the reactor while nothing is, so an idle service costs
// nothing) and handles that first thing, lingers for `linger`, then handles
// everything that became ready meanwhile at once. At a steady trickle of work (a
// thousand reports a second, each on its own connection) this turns one
// wake-up of the thread per socket, per timer and per completion posted by
// another thread into one per pass: what other threads post while the
// thread lingers is queued without waking it. Nothing waits more than
// `linger` longer than it would have; after a pass whose handling itself
// took that long the next does not linger, so a busy thread loses no time
// to it.
//
// Returns when the context is stopped or runs out of work. A zero `linger`
// handles each thing as it becomes ready (io_context::run, with the pass's
// end after every batch).

#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <vector>

namespace net {

// Work for the end of the current pass, once everything that was ready in
// it has been handled. A task posted to the context instead would run
// before what arrived during the linger (asio queues it first), so a
// wake-up of another thread that way takes only the pass's first event
// along.
//
// Thread: the io thread only.
class PassEnd {
public:
    void defer(std::function<void()> task) { tasks_.push_back(std::move(task)); }
    // Runs what was deferred, and what that defers in turn.
    void run();

private:
    std::vector<std::function<void()>> tasks_;
};

void RunInPasses(asio::io_context& io, std::chrono::microseconds linger, PassEnd* end = nullptr);

}  // namespace net
