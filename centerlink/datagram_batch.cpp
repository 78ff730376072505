#include "centerlink/datagram_batch.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "net/run_in_passes.h"

namespace centerlink {
namespace {

// Messages a sendmmsg call sends.
constexpr std::size_t kMessagesPerCall = 256;

std::size_t datagramsIn(std::size_t bytes, std::size_t segment) {
    return (bytes + segment - 1) / segment;
}

// The kernel cannot segment (too old, or a route whose device cannot).
bool cannotSegment(int error) {
    return error == EINVAL || error == ENOPROTOOPT || error == EOPNOTSUPP || error == EIO;
}

}  // namespace

struct DatagramBatch::State {
    // One message: a run of one frame's datagrams (segmented when it holds
    // more than one and offload is on), or a single datagram.
    struct Run {
        asio::ip::udp::endpoint to;
        std::size_t at = 0;  // in bytes
        std::size_t size = 0;
        std::size_t segment = 0;
    };

    void add(const asio::ip::udp::endpoint& to, std::span<const std::uint8_t> datagrams,
             std::size_t segment);
    // Sends everything queued; the datagrams not sent.
    std::size_t flush();
    // Sends the runs in as few calls as it can; the datagrams not sent.
    std::size_t sendRuns(int fd);

    asio::ip::udp::socket* socket = nullptr;
    std::vector<std::uint8_t> bytes;
    std::vector<Run> runs;
    bool flushWaiting = false;  // the end of the pass will flush
    bool offload = true;
    std::uint64_t unsent = 0;
};

void DatagramBatch::State::add(const asio::ip::udp::endpoint& to,
                               std::span<const std::uint8_t> datagrams, std::size_t segment) {
    const std::size_t base = bytes.size();
    bytes.insert(bytes.end(), datagrams.begin(), datagrams.end());
    // Runs as long as one message may be: whole datagrams, at most
    // kMaxSegments, within kMaxRunBytes.
    const std::size_t perRun =
        offload ? std::clamp<std::size_t>(kMaxRunBytes / segment, 1, kMaxSegments) : 1;
    for (std::size_t at = 0; at < datagrams.size(); at += perRun * segment) {
        runs.push_back(
            Run{to, base + at, std::min(datagrams.size() - at, perRun * segment), segment});
    }
}

std::size_t DatagramBatch::State::flush() {
    std::size_t lost = 0;
    if (!runs.empty()) {
        if (socket == nullptr || !socket->is_open()) {
            for (const Run& run : runs) {
                lost += datagramsIn(run.size, run.segment);
            }
        } else {
            lost = sendRuns(socket->native_handle());
        }
    }
    unsent += lost;
    runs.clear();
    bytes.clear();
    return lost;
}

std::size_t DatagramBatch::State::sendRuns(int fd) {
    struct alignas(cmsghdr) Control {
        std::array<char, CMSG_SPACE(sizeof(std::uint16_t))> bytes;
    };
    std::vector<mmsghdr> messages(std::min(runs.size(), kMessagesPerCall));
    std::vector<iovec> vectors(messages.size());
    std::vector<Control> controls(messages.size());
    std::size_t lost = 0;
    std::size_t next = 0;
    while (next < runs.size()) {
        const std::size_t n = std::min(runs.size() - next, messages.size());
        for (std::size_t i = 0; i < n; ++i) {
            const Run& run = runs[next + i];
            vectors[i] = iovec{bytes.data() + run.at, run.size};
            msghdr& m = messages[i].msg_hdr;
            m = msghdr{};
            m.msg_name = const_cast<sockaddr*>(run.to.data());
            m.msg_namelen = static_cast<socklen_t>(run.to.size());
            m.msg_iov = &vectors[i];
            m.msg_iovlen = 1;
            if (run.size > run.segment) {
                m.msg_control = controls[i].bytes.data();
                m.msg_controllen = controls[i].bytes.size();
                cmsghdr* header = CMSG_FIRSTHDR(&m);
                header->cmsg_level = SOL_UDP;
                header->cmsg_type = UDP_SEGMENT;
                header->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
                const auto size = static_cast<std::uint16_t>(run.segment);
                std::memcpy(CMSG_DATA(header), &size, sizeof size);
            }
        }
        const int done = sendmmsg(fd, messages.data(), static_cast<unsigned>(n), MSG_DONTWAIT);
        if (done > 0) {
            // Some went; the call for the rest tells why one was refused.
            next += static_cast<std::size_t>(done);
            continue;
        }
        // runs[next] was refused.
        const int error = errno;
        const Run refused = runs[next];
        if (refused.size > refused.segment && cannotSegment(error)) {
            // Its datagrams one by one from here on, and those of every run
            // after it.
            offload = false;
            std::vector<Run> rest;
            for (std::size_t i = next; i < runs.size(); ++i) {
                const Run& r = runs[i];
                for (std::size_t at = 0; at < r.size; at += r.segment) {
                    rest.push_back(
                        Run{r.to, r.at + at, std::min(r.segment, r.size - at), r.segment});
                }
            }
            runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(next), runs.end());
            runs.insert(runs.end(), rest.begin(), rest.end());
            continue;
        }
        // A full buffer: this message is lost, the next may fit.
        lost += datagramsIn(refused.size, refused.segment);
        ++next;
    }
    return lost;
}

DatagramBatch::DatagramBatch() : state_(std::make_shared<State>()) {}

DatagramBatch::~DatagramBatch() = default;

void DatagramBatch::queue(asio::ip::udp::socket& socket, const asio::ip::udp::endpoint& to,
                          std::span<const std::uint8_t> datagrams, std::size_t segment) {
    if (datagrams.empty() || segment == 0) {
        return;
    }
    State& s = *state_;
    if (s.socket != &socket || s.bytes.size() + datagrams.size() > kMaxQueuedBytes) {
        s.flush();
    }
    s.socket = &socket;
    s.add(to, datagrams, segment);
    if (!s.flushWaiting) {
        s.flushWaiting = true;
        net::AtEndOfPass(socket.get_executor(), [weak = std::weak_ptr<State>(state_)] {
            if (const auto state = weak.lock()) {
                state->flushWaiting = false;
                state->flush();
            }
        });
    }
}

std::size_t DatagramBatch::send(asio::ip::udp::socket& socket, const asio::ip::udp::endpoint& to,
                                std::span<const std::uint8_t> datagrams, std::size_t segment) {
    State& s = *state_;
    if (s.socket != &socket) {
        s.flush();
    }
    s.socket = &socket;
    if (!datagrams.empty() && segment != 0) {
        s.add(to, datagrams, segment);
    }
    return s.flush();
}

std::uint64_t DatagramBatch::unsent() const {
    return state_->unsent;
}

bool DatagramBatch::offload() const {
    return state_->offload;
}

void DatagramBatch::disableOffload() {
    state_->offload = false;
}

}  // namespace centerlink
