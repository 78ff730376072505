#pragma once
// Location report 0x0200 and the batch upload 0x0704.
//
// 0x0200: alarm u32, status u32, latitude u32, longitude u32 (1e-6 degree),
//   altitude u16 (m), speed u16 (1/10 km/h), direction u16 (degrees),
//   time BCD[6] (YYMMDDhhmmss, GMT+8), then additional items: id u8,
//   length u8, value.
// 0x0704: count u16, type u8 (0 normal, 1 blind area), then per item
//   length u16 and a 0x0200 body.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "jt808/result.h"

namespace jt808 {

namespace status {
inline constexpr std::uint32_t kAcc = 1u << 0;
inline constexpr std::uint32_t kLocated = 1u << 1;
inline constexpr std::uint32_t kSouth = 1u << 2;
inline constexpr std::uint32_t kWest = 1u << 3;
}  // namespace status

// Bits of the alarm word.
namespace alarm {
inline constexpr std::uint32_t kEmergency = 1u << 0;
inline constexpr std::uint32_t kOverspeed = 1u << 1;
inline constexpr std::uint32_t kFatigue = 1u << 2;
inline constexpr std::uint32_t kDangerWarning = 1u << 3;
inline constexpr std::uint32_t kGnssFault = 1u << 4;
inline constexpr std::uint32_t kGnssAntennaCut = 1u << 5;
inline constexpr std::uint32_t kGnssAntennaShort = 1u << 6;
inline constexpr std::uint32_t kPowerLow = 1u << 7;
inline constexpr std::uint32_t kPowerCut = 1u << 8;
inline constexpr std::uint32_t kDisplayFault = 1u << 9;
inline constexpr std::uint32_t kTtsFault = 1u << 10;
inline constexpr std::uint32_t kCameraFault = 1u << 11;
inline constexpr std::uint32_t kIcCardFault = 1u << 12;
inline constexpr std::uint32_t kOverspeedWarning = 1u << 13;
inline constexpr std::uint32_t kFatigueWarning = 1u << 14;
inline constexpr std::uint32_t kDrivingOvertimeToday = 1u << 18;
inline constexpr std::uint32_t kParkingOvertime = 1u << 19;
inline constexpr std::uint32_t kArea = 1u << 20;
inline constexpr std::uint32_t kRoute = 1u << 21;
inline constexpr std::uint32_t kRouteTime = 1u << 22;
inline constexpr std::uint32_t kRouteDeviation = 1u << 23;
inline constexpr std::uint32_t kVssFault = 1u << 24;
inline constexpr std::uint32_t kFuelAbnormal = 1u << 25;
inline constexpr std::uint32_t kStolen = 1u << 26;
inline constexpr std::uint32_t kIllegalIgnition = 1u << 27;
inline constexpr std::uint32_t kIllegalMove = 1u << 28;
inline constexpr std::uint32_t kCollision = 1u << 29;
inline constexpr std::uint32_t kRollover = 1u << 30;
inline constexpr std::uint32_t kIllegalDoorOpen = 1u << 31;
}  // namespace alarm

// Bits of the video alarm item 0x14.
namespace video_alarm {
inline constexpr std::uint32_t kSignalLoss = 1u << 0;
inline constexpr std::uint32_t kSignalOcclusion = 1u << 1;
inline constexpr std::uint32_t kStorageFault = 1u << 2;
inline constexpr std::uint32_t kOtherDeviceFault = 1u << 3;
inline constexpr std::uint32_t kPassengerOverload = 1u << 4;
inline constexpr std::uint32_t kAbnormalDriving = 1u << 5;
inline constexpr std::uint32_t kSpecialRecordingFull = 1u << 6;
}  // namespace video_alarm

// Additional item ids decoded below.
namespace item {
inline constexpr std::uint8_t kMileage = 0x01;
inline constexpr std::uint8_t kFuel = 0x02;
inline constexpr std::uint8_t kRecorderSpeed = 0x03;
inline constexpr std::uint8_t kAlarmEventId = 0x04;
inline constexpr std::uint8_t kVideoAlarms = 0x14;
inline constexpr std::uint8_t kVideoSignalLoss = 0x15;
inline constexpr std::uint8_t kVideoOcclusion = 0x16;
inline constexpr std::uint8_t kStorageFault = 0x17;
inline constexpr std::uint8_t kAbnormalDriving = 0x18;
inline constexpr std::uint8_t kVehicleSignals = 0x25;
inline constexpr std::uint8_t kIoStatus = 0x2A;
inline constexpr std::uint8_t kAnalog = 0x2B;
inline constexpr std::uint8_t kSignalStrength = 0x30;
inline constexpr std::uint8_t kSatellites = 0x31;
}  // namespace item

struct AdditionalItem {
    std::uint8_t id = 0;
    std::vector<std::uint8_t> value;
    bool operator==(const AdditionalItem&) const = default;
};

// Item 0x18: which behaviours (bit 0 fatigue, 1 phone call, 2 smoking) and
// the fatigue degree.
struct AbnormalDriving {
    std::uint16_t kinds = 0;
    std::uint8_t fatigueDegree = 0;
    bool operator==(const AbnormalDriving&) const = default;
};

struct Location {
    std::uint32_t alarm = 0;
    std::uint32_t status = 0;
    std::uint32_t latitude = 0;   // 1e-6 degree, hemisphere in status
    std::uint32_t longitude = 0;  // 1e-6 degree, hemisphere in status
    std::uint16_t altitude = 0;   // m
    std::uint16_t speed = 0;      // 1/10 km/h
    std::uint16_t direction = 0;  // degrees from north
    std::string time;             // 12 digits YYMMDDhhmmss, GMT+8, as sent

    // Every additional item in the order sent, the decoded ones included;
    // this is what encodeLocation() writes.
    std::vector<AdditionalItem> items;
    // Set when the last item claimed more bytes than the body holds: what
    // was wrong, for the log; the items before it are kept.
    std::string brokenItem;

    // Filled by parseLocation() from items of the expected length.
    std::optional<std::uint32_t> mileage;        // 1/10 km
    std::optional<std::uint16_t> fuel;           // 1/10 L
    std::optional<std::uint16_t> recorderSpeed;  // 1/10 km/h
    std::optional<std::uint16_t> alarmEventId;
    std::optional<std::uint32_t> videoAlarms;      // video_alarm bits
    std::optional<std::uint32_t> videoSignalLoss;  // bit n: channel n+1
    std::optional<std::uint32_t> videoOcclusion;   // bit n: channel n+1
    std::optional<std::uint16_t> storageFault;     // bits 0-11 main, 12-15 backup
    std::optional<AbnormalDriving> abnormalDriving;
    std::optional<std::uint32_t> vehicleSignals;
    std::optional<std::uint16_t> ioStatus;
    std::optional<std::uint32_t> analog;
    std::optional<std::uint8_t> signalStrength;
    std::optional<std::uint8_t> satellites;

    bool operator==(const Location&) const = default;
};

// Signed degrees: south and west negative.
double latitudeDegrees(const Location& loc);
double longitudeDegrees(const Location& loc);
// The report's time in UTC; nothing when the digits are no valid time.
std::optional<std::chrono::sys_seconds> utcTime(const Location& loc);

// A short fixed part is an error; an item that runs past the body ends the
// items read (brokenItem says so); an unknown item is kept raw; a known item of an unexpected
// length is kept raw and not decoded.
Result<Location> parseLocation(std::span<const std::uint8_t> body);
std::vector<std::uint8_t> encodeLocation(const Location& loc);

// Helpers for building items: the value big-endian in `bytes` bytes.
AdditionalItem makeItem(std::uint8_t id, std::uint32_t value, std::size_t bytes);

enum class BatchType : std::uint8_t { Normal = 0, BlindArea = 1 };

struct BatchLocation {
    std::uint8_t type = 0;  // a BatchType
    std::vector<Location> items;
    // Items whose length was right but whose report could not be read: the
    // reason, with the item's index. The other items are kept.
    std::vector<std::string> skipped;
    bool operator==(const BatchLocation&) const = default;
};

// An error when the count or an item's length does not fit the body.
Result<BatchLocation> parseBatchLocation(std::span<const std::uint8_t> body);
std::vector<std::uint8_t> encodeBatchLocation(const BatchLocation& batch);

}  // namespace jt808
