#pragma once
// Stream sockets whose reads their owner does itself, watched in an epoll set
// of their own: each is added once, edge-triggered. asio re-arms a socket's
// registration (one epoll_ctl) at every async_wait; with thousands of
// connections that each send now and then, that is one system call per
// message. Here it is one epoll_wait a pass (net/run_in_passes.h) for every
// socket that became readable meanwhile.
//
// Run in passes, the set is read at the end of every pass and keeps no wait
// of its own: that relies on asio's reactor having the sockets too (an asio
// socket is in it from its opening, for its writes), whose bytes end the
// thread's blocking wait by themselves. A context run in passes once is to
// go on being run in passes while the set has sockets. Run otherwise
// (io_context::run), asio waits on the set's descriptor, re-armed after each
// reading of the set.
//
// Edge-triggered: a socket is reported when bytes (or the peer's end) arrive,
// not while they wait unread. Its reader therefore reads until the socket is
// drained: a read shorter than asked for (no more bytes were there when it
// was made; whatever comes later is a new edge), would-block, the end or an
// error. A reader that stops before that (its share of a turn, so that one
// busy peer cannot hold the thread) says so, and is called again once the
// others have had their turn, edge or no edge.
//
// Thread: the io_context's own, for every member and every call of a reader.

#include <sys/epoll.h>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <memory>
#include <system_error>
#include <vector>

namespace net {

class ReadinessSet {
public:
    class Reader {
    public:
        // Bytes are there to be read; `ended`: the peer has closed its side or
        // the socket has failed, so a short read does not mean drained: read
        // to the end (or the error). True when it stopped with the socket
        // perhaps not drained: it is called again after the others, with
        // `ended` still set if it was (the system reports the end once).
        virtual bool readable(bool ended) = 0;

    protected:
        ~Reader() = default;
    };

    // Takes up to `batch` ready sockets from the system at a time.
    // Throws std::system_error when the system gives no epoll set.
    explicit ReadinessSet(asio::io_context& io, std::size_t batch = 256);
    ~ReadinessSet();
    ReadinessSet(const ReadinessSet&) = delete;
    ReadinessSet& operator=(const ReadinessSet&) = delete;

    // Watches `fd` for `reader` until `remove`. Bytes already waiting count
    // as an edge. The error when the system refuses (out of watches).
    std::error_code add(int fd, Reader& reader);
    // Before `fd` is closed: `reader` is not called again, not even for what
    // the set had already taken from the system. May be called from within
    // any reader's `readable`.
    void remove(int fd, Reader& reader);
    std::size_t size() const { return core_->count; }

private:
    // What the io_context's handlers hold: a set destroyed with a wait or a
    // turn still queued leaves them nothing to touch but this.
    struct Core {
        explicit Core(asio::io_context& io) : io(io), descriptor(io) {}
        asio::io_context& io;
        asio::posix::stream_descriptor descriptor;
        std::size_t count = 0;
        bool armed = false;
        bool closed = false;
        bool turnQueued = false;
        bool roundQueued = false;  // after a full batch
        // The events of the round being handled (room for one batch); a
        // removed reader's are cleared so that nothing calls it.
        std::vector<epoll_event> events;
        std::size_t next = 0;  // the first of `events` not handled yet
        std::size_t taken = 0;
        Reader* current = nullptr;  // the reader being called
        bool currentRemoved = false;
        // Readers that stopped before draining, with whether their end was
        // reported: the next turn's, and the turn being handled.
        struct Again {
            Reader* reader;
            bool ended;
        };
        std::vector<Again> again;
        std::vector<Again> againNow;
    };

    static void arm(const std::shared_ptr<Core>& core);
    static void round(const std::shared_ptr<Core>& core);
    static void turn(const std::shared_ptr<Core>& core);
    // Calls `reader`; false when it was removed meanwhile (it may be gone).
    static bool call(Core& core, Reader& reader, bool ended, bool& more);
    static void later(const std::shared_ptr<Core>& core, Reader& reader, bool ended);

    std::shared_ptr<Core> core_;
};

}  // namespace net
