#pragma once
// Message ids of the signalling messages this center reads or writes.

#include <cstdint>

namespace jt808::msg {

// From the terminal.
inline constexpr std::uint16_t kTerminalResponse = 0x0001;
inline constexpr std::uint16_t kHeartbeat = 0x0002;
inline constexpr std::uint16_t kDeregistration = 0x0003;
inline constexpr std::uint16_t kTimeQuery = 0x0004;
inline constexpr std::uint16_t kRegistration = 0x0100;
inline constexpr std::uint16_t kAuthentication = 0x0102;
inline constexpr std::uint16_t kLocation = 0x0200;
inline constexpr std::uint16_t kDriverIdentity = 0x0702;
inline constexpr std::uint16_t kBatchLocation = 0x0704;

// From the platform.
inline constexpr std::uint16_t kPlatformResponse = 0x8001;
inline constexpr std::uint16_t kTimeResponse = 0x8004;
inline constexpr std::uint16_t kRegistrationResponse = 0x8100;

}  // namespace jt808::msg
