#pragma once
// The control messages of the center protocol (docs/center-protocol.md), as
// plain values. The JSON form lives in json_codec.h; both the device library
// and the simulator speak through these types.

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vardo::protocol {

// Version 2 hands out 64-bit media keys; a server still answers a version-1
// login (32-bit key), and a client refused for its version logs in again
// with version 1.
inline constexpr int kProtocolVersion = 2;
inline constexpr int kOldestProtocolVersion = 1;
// The first version whose media keys are 64 bits wide.
inline constexpr int kWideMediaKeyVersion = 2;

// When the center received a device's message: milliseconds since
// 1970-01-01 UTC (`at`). Optional: older centers leave it out, older clients
// ignore it. Event servers sharing a database order a device's state by it.
using ReceivedAtMs = std::optional<std::int64_t>;
inline constexpr std::int64_t kMaxReceivedAtMs = 253'402'300'799'999;  // 9999-12-31

// Client to server.
struct Login {
    int version = kProtocolVersion;
    std::string user;
    std::string password;
    // The client acknowledges the events it has kept (`ack`), and wants what
    // it has not acknowledged again after a reconnect.
    bool acks = false;
    bool operator==(const Login&) const = default;
};
struct Ping {
    bool operator==(const Ping&) const = default;
};
struct Logout {
    bool operator==(const Logout&) const = default;
};
// Every event up to and including `seq` is kept for good by the client: the
// server need not send it again.
struct Ack {
    std::uint64_t seq = 0;
    bool operator==(const Ack&) const = default;
};
struct MediaOpen {
    std::string dev;
    int chn = 1;
    bool video = false;
    bool audio = false;
    bool operator==(const MediaOpen&) const = default;
};
struct MediaClose {
    std::string dev;
    int chn = 1;
    bool video = false;
    bool audio = false;
    bool operator==(const MediaClose&) const = default;
};

// Server to client.
struct LoginOk {
    std::uint64_t mediaKey = 0;
    // With acknowledgements agreed: the numbering the events' `seq` belong
    // to; a server that starts a new numbering draws a new one. 0: no
    // acknowledgements (a server without them, or a client that did not
    // ask).
    std::uint64_t epoch = 0;
    // The key is 64 bits wide: written as 16 hex digits in the line, and
    // registered with the 12-byte datagram. Else it fits 32 bits and goes
    // as a number, the way version-1 peers read it.
    bool wideKey = false;
    bool operator==(const LoginOk&) const = default;
};
struct LoginFailed {
    std::string reason;
    bool operator==(const LoginFailed&) const = default;
};
struct Pong {
    bool operator==(const Pong&) const = default;
};
struct Online {
    std::string dev;
    std::string name;
    std::string vehicle;
    std::string driver;
    int channels = 1;
    std::string gps;
    std::uint64_t seq = 0;  // the event's number in the epoch; 0: none
    ReceivedAtMs at{};
    bool operator==(const Online&) const = default;
};
// Marks the end of the `online` messages that follow `login_ok`, so that a
// client that lost its connection knows which devices vanished meanwhile.
struct Synced {
    std::uint32_t count = 0;
    bool operator==(const Synced&) const = default;
};
struct Gps {
    std::string dev;
    std::string gps;
    std::optional<std::string> vehicle;  // present when it changed
    std::optional<std::string> driver;   // present when it changed
    std::uint64_t seq = 0;               // the event's number in the epoch; 0: none
    ReceivedAtMs at{};
    bool operator==(const Gps&) const = default;
};
struct Offline {
    std::string dev;
    std::uint64_t seq = 0;  // the event's number in the epoch; 0: none
    ReceivedAtMs at{};
    bool operator==(const Offline&) const = default;
};
struct Alarm {
    std::string dev;
    int alarm = 0;          // 0-7
    std::uint64_t seq = 0;  // the event's number in the epoch; 0: none
    bool operator==(const Alarm&) const = default;
};
struct Event {
    std::string dev;
    int kind = 0;           // a notification kind, 0-255
    std::uint64_t seq = 0;  // the event's number in the epoch; 0: none
    bool operator==(const Event&) const = default;
};
// The codecs a recording can store as they come (kVideoCodecs, kAudioCodecs).
struct VideoFormat {
    std::string codec;  // mjpeg, h264 or h265
    // mjpeg: always given. h264, h265: 0 when the server does not know; the
    // stream's own parameter sets tell.
    int width = 0;
    int height = 0;
    int fps = 0;  // mjpeg: always given; h264, h265: 0 when not known
    bool operator==(const VideoFormat&) const = default;
};
struct AudioFormat {
    std::string codec;  // pcm_mulaw, pcm_alaw, g726 or aac
    int rate = 0;       // samples per second
    int channels = 1;
    int bitRate = 0;  // g726: 16000, 24000, 32000 or 40000; else 0
    // aac: the AudioSpecificConfig; empty when the frames carry ADTS headers
    // that tell it.
    std::vector<std::uint8_t> config{};
    bool operator==(const AudioFormat&) const = default;
};
inline constexpr const char* kVideoCodecs[] = {"mjpeg", "h264", "h265"};
inline constexpr const char* kAudioCodecs[] = {"pcm_mulaw", "pcm_alaw", "g726", "aac"};
struct MediaOk {
    std::string dev;
    int chn = 1;
    std::uint32_t stream = 0;
    std::optional<VideoFormat> video;
    std::optional<AudioFormat> audio;
    bool operator==(const MediaOk&) const = default;
};
struct MediaFailed {
    std::string dev;
    int chn = 1;
    std::string reason;
    bool operator==(const MediaFailed&) const = default;
};

using Message = std::variant<Login, Ping, Logout, MediaOpen, MediaClose, LoginOk, LoginFailed, Pong,
                             Online, Synced, Gps, Offline, Alarm, Event, MediaOk, MediaFailed, Ack>;

// The largest `seq` and `epoch`: what every JSON reader holds exactly.
inline constexpr std::uint64_t kMaxSequence = (std::uint64_t{1} << 53) - 1;

// The `seq` of a device event (0 for other messages and unnumbered events).
std::uint64_t sequenceOf(const Message& message);

// The `op` text of a message.
const char* opName(const Message& message);

}  // namespace vardo::protocol
