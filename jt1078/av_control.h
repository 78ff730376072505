#pragma once
// The bodies of the two messages with which the center starts and stops a
// terminal's audio/video stream: the real-time request (0x9101) and the
// transmission control (0x9102). The message framing around them belongs to
// the terminal protocol's codec; here are only the bytes of the body.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace jt1078 {

inline constexpr std::uint16_t kMsgRealtimeRequest = 0x9101;
inline constexpr std::uint16_t kMsgTransmissionControl = 0x9102;

// What the terminal is to send.
enum class RequestedData : std::uint8_t {
    AudioVideo = 0,
    Video = 1,
    Talk = 2,    // two-way talk
    Listen = 3,  // the center listens
    Broadcast = 4,
    Transparent = 5,
};

enum class StreamType : std::uint8_t { Main = 0, Sub = 1 };

struct RealtimeRequest {
    std::string serverAddress;  // IP address or host name, ASCII
    std::uint16_t tcpPort = 0;
    std::uint16_t udpPort = 0;
    std::uint8_t channel = 1;
    RequestedData data = RequestedData::AudioVideo;
    StreamType stream = StreamType::Main;
    bool operator==(const RealtimeRequest&) const = default;
};

enum class ControlCommand : std::uint8_t {
    Close = 0,         // stop sending
    SwitchStream = 1,  // to `switchTo`
    Pause = 2,         // every stream of the channel
    Resume = 3,        // what was paused
    CloseTalk = 4,
};

// Which part a Close ends.
enum class CloseWhat : std::uint8_t { AudioAndVideo = 0, AudioOnly = 1, VideoOnly = 2 };

struct TransmissionControl {
    std::uint8_t channel = 1;
    ControlCommand command = ControlCommand::Close;
    CloseWhat close = CloseWhat::AudioAndVideo;
    StreamType switchTo = StreamType::Main;
    bool operator==(const TransmissionControl&) const = default;
};

// Nothing when the address is empty or longer than 255 bytes.
std::optional<std::vector<std::uint8_t>> encodeRealtimeRequest(const RealtimeRequest& request);
std::optional<RealtimeRequest> decodeRealtimeRequest(std::span<const std::uint8_t> body);

std::vector<std::uint8_t> encodeTransmissionControl(const TransmissionControl& control);
std::optional<TransmissionControl> decodeTransmissionControl(std::span<const std::uint8_t> body);

}  // namespace jt1078
