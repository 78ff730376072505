#pragma once
// Registration 0x0100, its answer 0x8100 and authentication 0x0102.
//
// 0x0100 (2013): province u16, city u16, maker id [5], model [20],
//   terminal id [7], plate colour u8, plate GBK (the rest).
// 0x0100 (2019): the same with maker id [11], model [30], terminal id [30].
// Older terminals send model [8]; a 2013 body too short for the 2013 layout
// is read that way.
// 0x8100: serial u16, result u8, authentication code (the rest) when result 0.
// 0x0102 (2013): the authentication code is the whole body.
// 0x0102 (2019): code length u8, code, IMEI [15], software version [20].

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "jt808/frame.h"
#include "jt808/result.h"

namespace jt808 {

struct Registration {
    std::uint16_t province = 0;
    std::uint16_t city = 0;
    std::string makerId;  // fixed fields: without the zero padding
    std::string model;
    std::string terminalId;
    std::uint8_t plateColour = 0;  // 0: no plate; `plate` then holds the VIN
    std::string plate;             // UTF-8
    bool operator==(const Registration&) const = default;
};

Result<Registration> parseRegistration(std::span<const std::uint8_t> body, Version version);
std::vector<std::uint8_t> encodeRegistration(const Registration& reg, Version version);

enum class RegistrationResult : std::uint8_t {
    Ok = 0,
    VehicleRegistered = 1,
    NoSuchVehicle = 2,
    TerminalRegistered = 3,
    NoSuchTerminal = 4,
};

struct RegistrationResponse {
    std::uint16_t serial = 0;  // of the 0x0100 answered
    std::uint8_t result = 0;   // a RegistrationResult
    std::string authCode;      // only with result 0
    bool operator==(const RegistrationResponse&) const = default;
};

std::vector<std::uint8_t> encodeRegistrationResponse(const RegistrationResponse& response);
Result<RegistrationResponse> parseRegistrationResponse(std::span<const std::uint8_t> body);

struct Authentication {
    std::string code;
    std::string imei;             // 2019 only
    std::string softwareVersion;  // 2019 only
    bool operator==(const Authentication&) const = default;
};

Result<Authentication> parseAuthentication(std::span<const std::uint8_t> body, Version version);
std::vector<std::uint8_t> encodeAuthentication(const Authentication& auth, Version version);

}  // namespace jt808
