#pragma once
// The general responses both sides send (0x0001 from the terminal, 0x8001
// from the platform) and the platform's time answer 0x8004.

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "jt808/result.h"

namespace jt808 {

enum class ResponseResult : std::uint8_t {
    Ok = 0,
    Failure = 1,
    WrongMessage = 2,
    NotSupported = 3,
    AlarmConfirmed = 4,  // platform only
};

// serial u16 (of the message answered), msg id u16, result u8.
struct GeneralResponse {
    std::uint16_t serial = 0;
    std::uint16_t msgId = 0;
    std::uint8_t result = 0;  // a ResponseResult; kept raw, peers send others
    bool operator==(const GeneralResponse&) const = default;
};

Result<GeneralResponse> parseGeneralResponse(std::span<const std::uint8_t> body);
std::vector<std::uint8_t> encodeGeneralResponse(const GeneralResponse& response);
std::vector<std::uint8_t> encodePlatformResponse(std::uint16_t serial, std::uint16_t msgId,
                                                 ResponseResult result);

// 0x8004: the UTC time as BCD[6] YYMMDDhhmmss.
std::vector<std::uint8_t> encodeTimeResponse(std::chrono::sys_seconds utc);
Result<std::chrono::sys_seconds> parseTimeResponse(std::span<const std::uint8_t> body);

}  // namespace jt808
