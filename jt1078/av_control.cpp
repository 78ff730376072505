#include "jt1078/av_control.h"

namespace jt1078 {
namespace {

void put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

std::uint16_t get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace

//  1  address length n
//  n  address
//  2  TCP port
//  2  UDP port
//  1  logical channel
//  1  data type
//  1  stream type
std::optional<std::vector<std::uint8_t>> encodeRealtimeRequest(const RealtimeRequest& r) {
    if (r.serverAddress.empty() || r.serverAddress.size() > 255) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out;
    out.reserve(1 + r.serverAddress.size() + 7);
    out.push_back(static_cast<std::uint8_t>(r.serverAddress.size()));
    out.insert(out.end(), r.serverAddress.begin(), r.serverAddress.end());
    put16(out, r.tcpPort);
    put16(out, r.udpPort);
    out.push_back(r.channel);
    out.push_back(static_cast<std::uint8_t>(r.data));
    out.push_back(static_cast<std::uint8_t>(r.stream));
    return out;
}

std::optional<RealtimeRequest> decodeRealtimeRequest(std::span<const std::uint8_t> body) {
    if (body.empty()) {
        return std::nullopt;
    }
    const std::size_t n = body[0];
    if (n == 0 || body.size() != 1 + n + 7) {
        return std::nullopt;
    }
    const std::uint8_t* p = body.data() + 1 + n;
    if (p[5] > static_cast<std::uint8_t>(RequestedData::Transparent) ||
        p[6] > static_cast<std::uint8_t>(StreamType::Sub)) {
        return std::nullopt;
    }
    RealtimeRequest r;
    r.serverAddress.assign(body.begin() + 1, body.begin() + 1 + static_cast<std::ptrdiff_t>(n));
    r.tcpPort = get16(p);
    r.udpPort = get16(p + 2);
    r.channel = p[4];
    r.data = static_cast<RequestedData>(p[5]);
    r.stream = static_cast<StreamType>(p[6]);
    return r;
}

//  1  logical channel
//  1  command
//  1  what a close ends
//  1  stream to switch to
std::vector<std::uint8_t> encodeTransmissionControl(const TransmissionControl& c) {
    return {c.channel, static_cast<std::uint8_t>(c.command), static_cast<std::uint8_t>(c.close),
            static_cast<std::uint8_t>(c.switchTo)};
}

std::optional<TransmissionControl> decodeTransmissionControl(std::span<const std::uint8_t> body) {
    if (body.size() != 4 || body[1] > static_cast<std::uint8_t>(ControlCommand::CloseTalk) ||
        body[2] > static_cast<std::uint8_t>(CloseWhat::VideoOnly) ||
        body[3] > static_cast<std::uint8_t>(StreamType::Sub)) {
        return std::nullopt;
    }
    return TransmissionControl{body[0], static_cast<ControlCommand>(body[1]),
                               static_cast<CloseWhat>(body[2]), static_cast<StreamType>(body[3])};
}

}  // namespace jt1078
