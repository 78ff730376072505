#include "jt808/general_response.h"

#include "jt808/bytes.h"

namespace jt808 {

Result<GeneralResponse> parseGeneralResponse(std::span<const std::uint8_t> body) {
    Reader r(body);
    GeneralResponse g;
    g.serial = r.u16();
    g.msgId = r.u16();
    g.result = r.u8();
    if (!r.ok()) {
        return Result<GeneralResponse>::fail("general response: " + std::to_string(body.size()) +
                                             " bytes, 5 needed");
    }
    return Result<GeneralResponse>::of(g);
}

std::vector<std::uint8_t> encodeGeneralResponse(const GeneralResponse& response) {
    Writer w;
    w.reserve(5);
    w.u16(response.serial);
    w.u16(response.msgId);
    w.u8(response.result);
    return w.take();
}

std::vector<std::uint8_t> encodePlatformResponse(std::uint16_t serial, std::uint16_t msgId,
                                                 ResponseResult result) {
    return encodeGeneralResponse({serial, msgId, static_cast<std::uint8_t>(result)});
}

std::vector<std::uint8_t> encodeTimeResponse(std::chrono::sys_seconds utc) {
    Writer w;
    w.bcd(utcToBcdTime(utc, 0), 6);
    return w.take();
}

Result<std::chrono::sys_seconds> parseTimeResponse(std::span<const std::uint8_t> body) {
    Reader r(body);
    const std::string digits = r.bcd(6);
    if (!r.ok()) {
        return Result<std::chrono::sys_seconds>::fail("time response: not 6 BCD bytes");
    }
    const auto t = bcdTimeToUtc(digits, 0);
    if (!t) {
        return Result<std::chrono::sys_seconds>::fail("time response: no valid time " + digits);
    }
    return Result<std::chrono::sys_seconds>::of(*t);
}

}  // namespace jt808
