#pragma once
// The sending half of a stream connection: messages go out in the order they
// were queued, one write at a time, and a peer that does not read cannot make
// us hold more than a set number of bytes for it.
//
// Thread: the socket's io thread only (every member, every handler).

#include <asio.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace net {

class BoundedWriter {
public:
    struct Hooks {
        // Keeps the owner alive while a write is in flight (an owner shared
        // through asio's handlers gives shared_from_this()); may be empty
        // when the owner outlives its io_context's handlers.
        std::function<std::shared_ptr<void>()> keepAlive;
        // A write failed; what was queued has been forgotten.
        std::function<void(const asio::error_code&)> onError;
        // Everything queued has been written; may be empty.
        std::function<void()> onDrained;
    };

    BoundedWriter(asio::ip::tcp::socket& socket, std::size_t maxBytes, Hooks hooks);
    BoundedWriter(const BoundedWriter&) = delete;
    BoundedWriter& operator=(const BoundedWriter&) = delete;

    // Queues the bytes and starts writing when idle. False, with nothing
    // queued, when they would take the queue past its bound: the peer does
    // not read, and the owner closes the connection.
    bool send(std::string bytes);
    bool send(std::vector<std::uint8_t> bytes);
    // Bytes shared with other connections (one line to every client).
    bool send(std::shared_ptr<const std::string> bytes);
    // As send(), for bytes the caller keeps only for the call: when nothing
    // is queued, in flight or held, they are written at once (a terminal's
    // answer fits the socket's buffer and leaves in the same call, with no
    // copy, handler or wake-up of its own). What the socket does not take, or
    // does not take without an error, is copied and queued as send() would:
    // errors reach onError from the queued write. A message written at once
    // calls no onDrained: the writer is idle again when this returns.
    bool sendNow(std::span<const std::uint8_t> bytes);

    // Between hold() and release() messages are only queued: a caller about
    // to send several in a row (every event of a sync) has them leave in one
    // call rather than the first alone and the rest after it.
    void hold() { held_ = true; }
    void release();

    // Forgets what is queued; a write in flight ends without calling back.
    // For a closed connection, or before the socket is used again.
    void clear();

    bool writing() const { return writing_; }
    bool idle() const { return !writing_ && queue_.empty(); }
    std::size_t queuedBytes() const { return queuedBytes_; }

private:
    struct Chunk {
        std::shared_ptr<const void> owner;  // holds the bytes
        asio::const_buffer bytes;
    };

    // Messages written in one call at most.
    static constexpr std::size_t kMaxGathered = 64;

    bool push(Chunk chunk);
    void writeNext();
    void written(const asio::error_code& error, std::size_t count);

    asio::ip::tcp::socket& socket_;
    std::size_t maxBytes_;
    Hooks hooks_;
    // What is still to be written, from head_ on. A vector rather than a
    // deque: an idle connection then holds no block for it.
    std::vector<Chunk> queue_;
    std::size_t head_ = 0;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false;
    bool held_ = false;
    // Bumped by clear(): a handler of an earlier write finds another value.
    std::uint64_t generation_ = 0;
};

}  // namespace net
