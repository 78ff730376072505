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
// is io_context::run.

#include <asio/io_context.hpp>
#include <chrono>

namespace net {

void RunInPasses(asio::io_context& io, std::chrono::microseconds linger);

}  // namespace net
