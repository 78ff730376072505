#include "net/readiness_set.h"

#include <unistd.h>

#include <algorithm>
#include <asio/post.hpp>
#include <cerrno>

#include "net/run_in_passes.h"

namespace net {
namespace {

// The peer hung up, shut its side or the connection failed.
bool PeerEnded(const epoll_event& event) {
    return (event.events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
}

}  // namespace

ReadinessSet::ReadinessSet(asio::io_context& io, std::size_t batch)
    : core_(std::make_shared<Core>(io)) {
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::system_category(), "epoll_create1");
    }
    asio::error_code error;
    core_->descriptor.assign(fd, error);
    if (error) {
        ::close(fd);
        throw std::system_error(error);
    }
    core_->events.resize(std::max<std::size_t>(batch, 1));
    // A context run in passes reads the set at the end of every pass, with
    // what arrived while the thread lingered, and the set keeps no wait of
    // its own armed there: its sockets are in asio's reactor too (for their
    // writes), so their bytes end a blocking wait of the thread by
    // themselves. A pass costs one epoll_wait of the set and no re-arming.
    AtEveryPassEnd(io, [core = core_] {
        if (core->closed) {
            return false;
        }
        if (core->count > 0) {
            round(core);
        }
        return true;
    });
}

ReadinessSet::~ReadinessSet() {
    core_->closed = true;
    core_->again.clear();
    asio::error_code ignored;
    core_->descriptor.close(ignored);
}

std::error_code ReadinessSet::add(int fd, Reader& reader) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    event.data.ptr = &reader;
    if (::epoll_ctl(core_->descriptor.native_handle(), EPOLL_CTL_ADD, fd, &event) != 0) {
        return {errno, std::system_category()};
    }
    ++core_->count;
    arm(core_);
    return {};
}

void ReadinessSet::remove(int fd, Reader& reader) {
    Core& core = *core_;
    ::epoll_ctl(core.descriptor.native_handle(), EPOLL_CTL_DEL, fd, nullptr);
    if (core.count > 0) {
        --core.count;
    }
    for (std::size_t i = core.next; i < core.taken; ++i) {
        if (core.events[i].data.ptr == &reader) {
            core.events[i].data.ptr = nullptr;
        }
    }
    if (core.current == &reader) {
        core.currentRemoved = true;
    }
    std::erase_if(core.again, [&](const Core::Again& a) { return a.reader == &reader; });
    for (Core::Again& a : core.againNow) {
        if (a.reader == &reader) {
            a.reader = nullptr;
        }
    }
    if (core.count == 0 && core.armed) {
        // Nothing left to wait for: the context may run out of work.
        asio::error_code ignored;
        core.descriptor.cancel(ignored);
    }
}

void ReadinessSet::arm(const std::shared_ptr<Core>& core) {
    // Run in passes, the set is read at every pass's end instead (see the
    // constructor).
    if (core->armed || core->closed || core->count == 0 || InPasses(core->io.get_executor())) {
        return;
    }
    core->armed = true;
    core->descriptor.async_wait(
        asio::posix::stream_descriptor::wait_read, [core](const asio::error_code& error) {
            core->armed = false;
            if (core->closed || (error && error != asio::error::operation_aborted)) {
                return;  // gone, or the set itself failed: nothing to wait for
            }
            if (!error && !InPasses(core->io.get_executor())) {
                // Armed again after the round, which may throw.
                try {
                    round(core);
                } catch (...) {
                    arm(core);
                    throw;
                }
            }
            arm(core);
        });
}

bool ReadinessSet::call(Core& core, Reader& reader, bool ended, bool& more) {
    core.current = &reader;
    core.currentRemoved = false;
    struct Done {
        Core& core;
        ~Done() { core.current = nullptr; }
    } done{core};
    more = reader.readable(ended);
    return !core.currentRemoved;
}

void ReadinessSet::round(const std::shared_ptr<Core>& core) {
    const int batch = static_cast<int>(core->events.size());
    const int n = ::epoll_wait(core->descriptor.native_handle(), core->events.data(), batch, 0);
    if (n <= 0) {
        return;  // interrupted, or taken already: the wait is re-armed
    }
    // After a full batch another round is posted: the rest may have no edge
    // left anywhere to wake the thread (asio's reactor took theirs with the
    // batch's), and the handlers queued meanwhile get their turn before it.
    if (n == batch && !core->roundQueued) {
        core->roundQueued = true;
        asio::post(core->io, [core] {
            core->roundQueued = false;
            if (!core->closed && core->count > 0) {
                round(core);
            }
        });
    }
    core->taken = static_cast<std::size_t>(n);
    core->next = 0;
    try {
        while (core->next < core->taken) {
            const epoll_event& event = core->events[core->next++];
            auto* reader = static_cast<Reader*>(event.data.ptr);
            if (reader == nullptr) {
                continue;  // removed since
            }
            const bool ended = PeerEnded(event);
            bool more = false;
            if (call(*core, *reader, ended, more) && more) {
                later(core, *reader, ended);
            }
        }
    } catch (...) {
        // Their edges are spent: the readers not called yet get a turn of
        // their own rather than never hearing of their bytes.
        for (std::size_t i = core->next; i < core->taken; ++i) {
            const epoll_event& event = core->events[i];
            if (auto* reader = static_cast<Reader*>(event.data.ptr)) {
                later(core, *reader, PeerEnded(event));
            }
        }
        core->next = core->taken = 0;
        throw;
    }
    core->next = core->taken = 0;
}

void ReadinessSet::later(const std::shared_ptr<Core>& core, Reader& reader, bool ended) {
    const auto known = std::find_if(core->again.begin(), core->again.end(),
                                    [&](const Core::Again& a) { return a.reader == &reader; });
    if (known == core->again.end()) {
        core->again.push_back({&reader, ended});
    } else {
        known->ended = known->ended || ended;
    }
    if (!core->turnQueued) {
        core->turnQueued = true;
        asio::post(core->io, [core] { turn(core); });
    }
}

void ReadinessSet::turn(const std::shared_ptr<Core>& core) {
    core->turnQueued = false;
    if (core->closed) {
        return;
    }
    core->againNow.swap(core->again);
    for (std::size_t i = 0; i < core->againNow.size(); ++i) {
        // A copy: a reader called may remove others, which clears theirs.
        const Core::Again again = core->againNow[i];
        if (again.reader == nullptr) {
            continue;
        }
        bool more = false;
        try {
            if (call(*core, *again.reader, again.ended, more) && more) {
                later(core, *again.reader, again.ended);
            }
        } catch (...) {
            for (std::size_t j = i + 1; j < core->againNow.size(); ++j) {
                if (const Core::Again& rest = core->againNow[j]; rest.reader != nullptr) {
                    later(core, *rest.reader, rest.ended);
                }
            }
            core->againNow.clear();
            throw;
        }
    }
    core->againNow.clear();
}

}  // namespace net
