#pragma once
// The media side's UDP socket: it tells the center server where to send
// (the registration datagram, repeated every 5 s while media runs), takes
// the datagrams that come, checks them, and reassembles each opened
// stream's frames.
//
// Media is taken from the address and port registrations go to, and from
// nowhere else: anyone who can reach our port could otherwise put pictures
// into an alarm recording or blank it. The socket is bound to the local
// address of the control connection (the interface that reaches the
// server) and connected to the server's media port, so that the kernel
// drops what others send; each datagram's sender is checked as well.
//
// Datagrams come a batch a system call, and where the kernel offers it
// (UDP receive offload, Linux 5.0 and later) a frame's datagrams that the
// server sent in one call arrive as one: the kernel's work and the wake-ups
// are then a frame's, not a datagram's. The socket is read at the end of
// the I/O thread's pass (net/run_in_passes.h), so that one wake-up takes
// what every channel sent meanwhile.
//
// Thread: the instance's I/O thread only.

#include <sys/socket.h>

#include <array>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <vector>

#include "protocol/media_datagram.h"
#include "vardoappcore/frame_assembler.h"

namespace vardo {

struct ReceiverCounters {
    std::uint64_t datagrams = 0;  // every datagram that came
    std::uint64_t rejected = 0;   // not a media datagram of this protocol
    std::uint64_t unknownStream = 0;
    std::uint64_t strangers = 0;  // from another address or port than the server's
    AssemblerCounters frames;     // summed over every stream, closed ones too
};

class MediaReceiver {
public:
    using FrameHandler = std::function<void(AssembledFrame&& frame)>;

    static constexpr std::chrono::seconds kRegisterInterval{5};
    static constexpr int kReceiveBufferBytes = 16 * 1024 * 1024;

    MediaReceiver(asio::io_context& io, FrameHandler onFrame);
    ~MediaReceiver();

    // Where the server takes registrations (and sends media from), the key
    // of this login, and the local address of the control connection (the
    // media socket is bound to it; unspecified: any).
    void setServer(const asio::ip::udp::endpoint& server, protocol::MediaKey mediaKey,
                   const asio::ip::address& local = {});
    // Opens the socket (once) and registers now; the registration then
    // repeats until close(). False, with the reason logged, when the socket
    // cannot be opened.
    bool open();
    void registerNow();
    void close();
    bool isOpen() const { return socket_.is_open(); }

    // Datagrams of streams not opened are dropped.
    void openStream(std::uint32_t stream);
    void closeStream(std::uint32_t stream);
    void closeAllStreams();

    ReceiverCounters counters() const;
    // The bytes held by frames in progress, over every stream.
    std::size_t pendingBytes() const { return memory_.used(); }
    // The local port (tests).
    std::uint16_t localPort() const;

private:
    // Datagrams (or runs of them) a system call takes, and the room of each:
    // with UDP receive offload the kernel hands over a run of datagrams of
    // one frame as one, up to 64 KiB.
    static constexpr std::size_t kBatch = 16;
    static constexpr std::size_t kSlotBytes = 64 * 1024;

    void receive();
    // Reads what is there; waits for more when the socket was read empty.
    void take(std::uint64_t epoch);
    // True when the socket was read empty (or closed meanwhile); false when
    // the bound of a turn was reached first.
    bool drain(std::uint64_t epoch);
    // One received message: a datagram, or a run of them `segment` bytes
    // apart (0: one).
    void onMessage(std::span<const std::uint8_t> bytes, std::size_t segment);
    void onDatagram(std::span<const std::uint8_t> bytes);
    bool bindAndConnect(asio::error_code& ec);
    bool fromServer(const sockaddr_storage& sender, socklen_t length) const;
    void setReceiveBuffer();
    void armRegistration();
    void retire(FrameAssembler& assembler);

    FrameHandler onFrame_;
    asio::ip::udp::socket socket_;
    asio::steady_timer registerTimer_;
    asio::ip::udp::endpoint server_;
    asio::ip::address local_;
    protocol::MediaKey mediaKey_;
    bool haveServer_ = false;
    // Bumped at every close: handlers of an older socket do nothing.
    std::uint64_t epoch_ = 0;
    // Room for a batch of messages, kSlotBytes each; a datagram longer than
    // the protocol allows is refused for its length.
    std::vector<std::uint8_t> buffers_;
    std::set<std::uint32_t> streams_;
    // The bytes of every stream's frames in progress (before the assemblers:
    // they leave it when they go).
    ReassemblyMemory memory_;
    // Per stream and kind (stream * 2 + kind - 1).
    std::map<std::uint64_t, FrameAssembler> assemblers_;
    ReceiverCounters counters_;
    AssemblerCounters retired_;  // of assemblers already gone
};

}  // namespace vardo
