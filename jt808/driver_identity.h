#pragma once
// Driver identity report 0x0702, sent when a driver's card goes in or out.
//
// status u8 (1 card in, 2 card out), time BCD[6], and with status 1:
//   IC result u8 (0 read), and with result 0: name length u8, name GBK,
//   qualification code [20], authority length u8, authority GBK,
//   expiry BCD[4] (YYYYMMDD), and in 2019 the ID card number [20].

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "jt808/frame.h"
#include "jt808/result.h"

namespace jt808 {

inline constexpr std::uint8_t kCardInserted = 1;
inline constexpr std::uint8_t kCardRemoved = 2;

struct DriverIdentity {
    std::uint8_t status = kCardInserted;
    std::string time;           // 12 digits YYMMDDhhmmss, GMT+8
    std::uint8_t icResult = 0;  // 0: card read; the rest is present only then
    std::string name;           // UTF-8
    std::string qualification;  // qualification certificate code
    std::string authority;      // UTF-8
    std::string expiry;         // 8 digits YYYYMMDD
    std::string idCard;         // 2019 only
    bool operator==(const DriverIdentity&) const = default;
};

Result<DriverIdentity> parseDriverIdentity(std::span<const std::uint8_t> body, Version version);
std::vector<std::uint8_t> encodeDriverIdentity(const DriverIdentity& driver, Version version);

}  // namespace jt808
