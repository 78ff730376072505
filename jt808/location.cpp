#include "jt808/location.h"

#include <cstdio>

#include "jt808/bytes.h"

namespace jt808 {

namespace {

constexpr std::size_t kFixedBytes = 28;

std::uint32_t bigEndian(const std::vector<std::uint8_t>& v) {
    std::uint32_t x = 0;
    for (const std::uint8_t b : v) {
        x = x << 8 | b;
    }
    return x;
}

template <class T>
void decodeAs(const AdditionalItem& it, std::size_t bytes, std::optional<T>& field) {
    if (it.value.size() == bytes) {
        field = static_cast<T>(bigEndian(it.value));
    }
}

void decodeItem(const AdditionalItem& it, Location& loc) {
    switch (it.id) {
        case item::kMileage:
            decodeAs(it, 4, loc.mileage);
            break;
        case item::kFuel:
            decodeAs(it, 2, loc.fuel);
            break;
        case item::kRecorderSpeed:
            decodeAs(it, 2, loc.recorderSpeed);
            break;
        case item::kAlarmEventId:
            decodeAs(it, 2, loc.alarmEventId);
            break;
        case item::kVideoAlarms:
            decodeAs(it, 4, loc.videoAlarms);
            break;
        case item::kVideoSignalLoss:
            decodeAs(it, 4, loc.videoSignalLoss);
            break;
        case item::kVideoOcclusion:
            decodeAs(it, 4, loc.videoOcclusion);
            break;
        case item::kStorageFault:
            decodeAs(it, 2, loc.storageFault);
            break;
        case item::kAbnormalDriving:
            if (it.value.size() == 3) {
                loc.abnormalDriving = AbnormalDriving{
                    static_cast<std::uint16_t>(it.value[0] << 8 | it.value[1]), it.value[2]};
            }
            break;
        case item::kVehicleSignals:
            decodeAs(it, 4, loc.vehicleSignals);
            break;
        case item::kIoStatus:
            decodeAs(it, 2, loc.ioStatus);
            break;
        case item::kAnalog:
            decodeAs(it, 4, loc.analog);
            break;
        case item::kSignalStrength:
            decodeAs(it, 1, loc.signalStrength);
            break;
        case item::kSatellites:
            decodeAs(it, 1, loc.satellites);
            break;
        default:
            break;
    }
}

}  // namespace

double latitudeDegrees(const Location& loc) {
    const double deg = loc.latitude / 1e6;
    return (loc.status & status::kSouth) != 0 ? -deg : deg;
}

double longitudeDegrees(const Location& loc) {
    const double deg = loc.longitude / 1e6;
    return (loc.status & status::kWest) != 0 ? -deg : deg;
}

std::optional<std::chrono::sys_seconds> utcTime(const Location& loc) {
    return bcdTimeToUtc(loc.time, 8);
}

Result<Location> parseLocation(std::span<const std::uint8_t> body) {
    if (body.size() < kFixedBytes) {
        return Result<Location>::fail("location: " + std::to_string(body.size()) +
                                      " bytes, at least 28 needed");
    }
    Reader r(body);
    Location loc;
    loc.alarm = r.u32();
    loc.status = r.u32();
    loc.latitude = r.u32();
    loc.longitude = r.u32();
    loc.altitude = r.u16();
    loc.speed = r.u16();
    loc.direction = r.u16();
    loc.time = r.bcd(6);
    if (!r.ok()) {
        return Result<Location>::fail("location: time is not BCD");
    }
    while (r.remaining() > 0) {
        const std::size_t at = r.position();
        AdditionalItem it;
        it.id = r.u8();
        const std::size_t length = r.u8();
        const auto value = r.take(length);
        if (!r.ok()) {
            // Field devices send a last item longer than what remains; the
            // basic block stands alone, so the position and the items read
            // so far are kept and the broken tail is named for the log.
            char id[8];
            std::snprintf(id, sizeof id, "0x%02x", it.id);
            loc.brokenItem = std::string("additional item ") + id + " at byte " +
                             std::to_string(at) + " claims " + std::to_string(length) + " bytes, " +
                             std::to_string(body.size() - std::min(body.size(), at + 2)) +
                             " remain";
            break;
        }
        it.value.assign(value.begin(), value.end());
        decodeItem(it, loc);
        loc.items.push_back(std::move(it));
    }
    return Result<Location>::of(std::move(loc));
}

std::vector<std::uint8_t> encodeLocation(const Location& loc) {
    Writer w;
    w.u32(loc.alarm);
    w.u32(loc.status);
    w.u32(loc.latitude);
    w.u32(loc.longitude);
    w.u16(loc.altitude);
    w.u16(loc.speed);
    w.u16(loc.direction);
    w.bcd(loc.time, 6);
    for (const AdditionalItem& it : loc.items) {
        const std::size_t n = std::min<std::size_t>(it.value.size(), 255);
        w.u8(it.id);
        w.u8(static_cast<std::uint8_t>(n));
        w.bytes(std::span(it.value).first(n));
    }
    return w.take();
}

AdditionalItem makeItem(std::uint8_t id, std::uint32_t value, std::size_t bytes) {
    AdditionalItem it;
    it.id = id;
    for (std::size_t i = bytes; i-- > 0;) {
        it.value.push_back(static_cast<std::uint8_t>(i < 4 ? value >> (8 * i) : 0));
    }
    return it;
}

Result<BatchLocation> parseBatchLocation(std::span<const std::uint8_t> body) {
    Reader r(body);
    const std::size_t count = r.u16();
    BatchLocation batch;
    batch.type = r.u8();
    if (!r.ok()) {
        return Result<BatchLocation>::fail("batch location: " + std::to_string(body.size()) +
                                           " bytes, at least 3 needed");
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t length = r.u16();
        const auto item = r.take(length);
        if (!r.ok()) {
            return Result<BatchLocation>::fail("batch location: item " + std::to_string(i) +
                                               " of " + std::to_string(count) +
                                               " runs past the body");
        }
        auto loc = parseLocation(item);
        if (loc) {
            batch.items.push_back(std::move(*loc));
        } else {
            batch.skipped.push_back("item " + std::to_string(i) + ": " + loc.error);
        }
    }
    if (r.remaining() != 0) {
        // Padding after the items costs nothing to ignore; the items are kept.
        batch.skipped.push_back(std::to_string(r.remaining()) + " bytes after the " +
                                std::to_string(count) + " items ignored");
    }
    return Result<BatchLocation>::of(std::move(batch));
}

std::vector<std::uint8_t> encodeBatchLocation(const BatchLocation& batch) {
    Writer w;
    w.u16(static_cast<std::uint16_t>(batch.items.size()));
    w.u8(batch.type);
    for (const Location& loc : batch.items) {
        const std::vector<std::uint8_t> body = encodeLocation(loc);
        w.u16(static_cast<std::uint16_t>(body.size()));
        w.bytes(body);
    }
    return w.take();
}

}  // namespace jt808
