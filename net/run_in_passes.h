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
// to it. While every pass finds work, the next one does not block in the
// reactor first: it sleeps its linger and takes what came, one wake-up a
// pass.
//
// Returns when the context is stopped or runs out of work. A zero `linger`
// is io_context::run.

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <functional>

namespace net {

void RunInPasses(asio::io_context& io, std::chrono::microseconds linger);

// As above, with each pass's linger asked of `linger` as the pass begins
// (net/batch_pace.h: longer while a thin stream of reports would leave the
// passes nearly empty).
void RunInPasses(asio::io_context& io, const std::function<std::chrono::microseconds()>& linger);

// Runs `work` once the pass the thread is in has handled everything that was
// ready in it: what the pass's handlers produced then leaves together (the
// media datagrams of every frame that came, in one system call; one wake-up
// of a writer thread for all of them). Work added by such work runs in the
// same pass, after it. On a context not run in passes (io_context::run, a
// zero linger, tests) the work is posted instead.
//
// Thread: the context's own thread.
void AtEndOfPass(const asio::any_io_executor& executor, std::function<void()> work);

// Runs `work` at the end of every pass from now on, before what AtEndOfPass
// queued (so that what it queues leaves with the rest), until it returns
// false. For what polls descriptors of its own that asio watches too (net/
// readiness_set.h): their readiness ends a blocking wait by itself, so
// polling them at every pass's end needs no wait of their own.
void AtEveryPassEnd(asio::io_context& io, std::function<bool()> work);

// True while RunInPasses runs the executor's context.
bool InPasses(const asio::any_io_executor& executor);

}  // namespace net
