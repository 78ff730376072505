#pragma once
// The real center's media: event servers' media_open become real-time
// requests (0x9101) to the terminal; its stream packets, taken at the media
// port, are put back together into frames and relayed as media datagrams to
// every event server that opened the channel. Several event servers watching
// one channel share one stream from the terminal; when none wants it any
// more, the terminal is told to stop (0x9102).
//
// The answer to media_open waits for the stream itself: the codec is named
// by the first packets (their payload type), so media_ok goes out when the
// first video frame (and, when audio was asked for, the first audio block,
// or a second of waiting) has come; media_failed when the terminal refuses
// or sends nothing within the time limit.
//
// Thread: the center's io thread.

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "center/media_source.h"
#include "centerlink/media_provider.h"
#include "jt1078/frame_reassembler.h"
#include "jt1078/stream_packet.h"
#include "jt808/frame.h"

namespace centerlink {
class EventServerHub;
}

namespace center {

struct TerminalMediaConfig {
    // Where terminals are to send: the address they reach this center at.
    std::string host = "127.0.0.1";
    // When set and not empty for a phone: the address to give that terminal
    // instead of `host` (a center on a wildcard address gives each one the
    // address its own connection reached).
    std::function<std::string(const std::string& phone)> hostFor;
    std::uint16_t port = 7612;  // TCP and UDP
    std::chrono::milliseconds answerLimit{10'000};
    // How long media_ok waits for audio once video flows.
    std::chrono::milliseconds audioWait{1'000};
    // Media from any address, not only the terminal's login address (sites
    // behind carrier NAT); anyone who knows a SIM can then be first to send.
    bool anySource = false;
    // Packets a terminal had in flight when told to stop a stream are
    // dropped quietly this long, rather than taken for a stranger's.
    std::chrono::milliseconds stopGrace{5'000};
    // The source, address and payload type checks of every packet. Only the
    // benchmark that prices them turns them off; no option does.
    bool sourceChecks = true;
};

struct TerminalMediaCounters {
    std::uint64_t requests = 0;   // 0x9101 sent
    std::uint64_t closes = 0;     // 0x9102 sent
    std::uint64_t frames = 0;     // relayed
    std::uint64_t datagrams = 0;  // handed to the hub (its count of those lost to a full buffer)
};

class TerminalMedia final : public centerlink::MediaProvider {
public:
    using Log = std::function<void(const std::string&)>;
    // Sends a platform message to the terminal with this phone; false when
    // it is not connected.
    using SendToTerminal = std::function<bool(const std::string& phone, std::uint16_t msgId,
                                              std::span<const std::uint8_t> body)>;

    TerminalMedia(asio::io_context& io, centerlink::EventServerHub& hub, SendToTerminal send,
                  TerminalMediaConfig config, Log log);
    ~TerminalMedia() override;

    // MediaProvider.
    vardo::protocol::Message open(ClientId client, const vardo::protocol::MediaOpen& request,
                                  const vardo::protocol::Online& device) override;
    void openAsync(ClientId client, const vardo::protocol::MediaOpen& request,
                   const vardo::protocol::Online& device, Answer answer) override;
    void close(ClientId client, const vardo::protocol::MediaClose& request) override;
    void forgetClient(ClientId client) override;
    void setEndpoint(ClientId client, const asio::ip::udp::endpoint& endpoint) override;
    void deviceOnline(const vardo::protocol::Online& device) override;
    void deviceOffline(const std::string& dev) override;
    void stop() override;

    // A terminal message the signalling side does not handle itself; true
    // when it was an answer to one of ours.
    bool onTerminalMessage(const std::string& phone, const jt808::Message& message);
    // A packet from the media port: taken when a stream of an authenticated
    // terminal was asked for with its SIM and channel and the packet comes
    // from the stream's source (media_source.h).
    MediaJudgement onPacket(const jt1078::Packet& packet, const MediaSource& source);
    // A TCP connection of the media port closed: its streams may be taken
    // up by the terminal's next connection.
    void sourceGone(std::uint64_t id);
    // The address of a phone's login connection, empty when none; without
    // it, any address is taken.
    void setTerminalAddress(std::function<std::string(const std::string& phone)> addressOf) {
        terminalAddress_ = std::move(addressOf);
    }

    const TerminalMediaCounters& counters() const { return counters_; }
    std::size_t streams() const { return streams_.size(); }

private:
    std::uint32_t newStreamId();
    using Key = std::pair<std::string, int>;  // phone, channel
    struct Viewer {
        bool video = false;
        bool audio = false;
    };
    struct Waiting {
        ClientId client;
        vardo::protocol::MediaOpen request;
        Answer answer;
    };
    struct Stream {
        std::uint32_t id = 0;
        std::map<ClientId, Viewer> viewers;
        std::vector<Waiting> waiting;
        bool requested = false;       // 0x9101 sent, the terminal online
        bool askPending = false;      // to be sent once the current messages are read
        bool requestedAudio = false;  // asked for audio and video
        std::optional<vardo::protocol::VideoFormat> video;
        std::optional<vardo::protocol::AudioFormat> audio;
        std::chrono::steady_clock::time_point firstVideo{};
        std::chrono::steady_clock::time_point asked{};
        std::uint32_t videoSequence = 0;
        std::uint32_t audioSequence = 0;
        bool unsupportedLogged = false;
        // The first source to deliver, while it lives, and the payload
        // types the stream began with.
        std::optional<std::uint64_t> source;
        std::string loginAddress;  // of the terminal's login; empty: not looked up
        std::optional<std::uint8_t> videoPayloadType;
        std::optional<std::uint8_t> audioPayloadType;
    };

    void askTerminal(const Key& key, Stream& s);
    // Asks every stream marked askPending: an event server opens video and
    // audio with two messages, a moment apart, which become one request.
    void askPending();
    void tidy(const Key& key);
    void answerWaiting(const Key& key, Stream& s, bool timeUp);
    vardo::protocol::MediaOk okFor(const Key& key, const Stream& s,
                                   const vardo::protocol::MediaOpen& asked) const;
    void relay(const Key& key, Stream& s, jt1078::Frame& frame);
    void armTimer();
    void onTimer();
    Stream* find(const std::string& sim, int channel, Key& key);
    // True for a stream told to stop a moment ago.
    bool recentlyStopped(const std::string& sim, int channel);

    centerlink::EventServerHub& hub_;
    SendToTerminal send_;
    TerminalMediaConfig config_;
    Log log_;
    asio::steady_timer timer_;
    std::map<Key, Stream> streams_;
    // Streams told to stop (SIM without leading zeros, channel), and when.
    std::map<Key, std::chrono::steady_clock::time_point> stopped_;
    std::unordered_map<ClientId, asio::ip::udp::endpoint> endpoints_;
    jt1078::FrameReassembler reassembler_;
    // Stream numbers are drawn from the system's entropy, so that a stranger
    // cannot guess the number of a stream it did not open.
    std::random_device streamIdSource_;
    bool askPosted_ = false;
    asio::steady_timer askTimer_;
    TerminalMediaCounters counters_;
    std::function<std::string(const std::string& phone)> terminalAddress_;
};

}  // namespace center
