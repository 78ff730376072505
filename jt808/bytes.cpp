#include "jt808/bytes.h"

#include <algorithm>

namespace jt808 {

std::uint8_t Reader::u8() {
    const auto b = take(1);
    return b.empty() ? 0 : b[0];
}

std::uint16_t Reader::u16() {
    const auto b = take(2);
    return b.empty() ? 0 : static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}

std::uint32_t Reader::u32() {
    const auto b = take(4);
    return b.empty()
               ? 0
               : static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
                     static_cast<std::uint32_t>(b[2]) << 8 | b[3];
}

std::span<const std::uint8_t> Reader::take(std::size_t n) {
    if (!ok_ || n > bytes_.size() - pos_) {
        ok_ = false;
        return {};
    }
    const auto out = bytes_.subspan(pos_, n);
    pos_ += n;
    return out;
}

std::span<const std::uint8_t> Reader::rest() {
    return take(remaining());
}

std::string Reader::bcd(std::size_t n) {
    const auto b = take(n);
    std::string digits;
    digits.reserve(2 * n);
    for (const std::uint8_t byte : b) {
        const int hi = byte >> 4;
        const int lo = byte & 0x0f;
        if (hi > 9 || lo > 9) {
            ok_ = false;
            return {};
        }
        digits.push_back(static_cast<char>('0' + hi));
        digits.push_back(static_cast<char>('0' + lo));
    }
    return digits;
}

void Writer::u16(std::uint16_t v) {
    bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    bytes_.push_back(static_cast<std::uint8_t>(v));
}

void Writer::u32(std::uint32_t v) {
    u16(static_cast<std::uint16_t>(v >> 16));
    u16(static_cast<std::uint16_t>(v));
}

void Writer::text(std::string_view v) {
    bytes_.insert(bytes_.end(), v.begin(), v.end());
}

void Writer::fixedText(std::string_view v, std::size_t n) {
    const std::size_t used = std::min(v.size(), n);
    text(v.substr(0, used));
    bytes_.insert(bytes_.end(), n - used, 0);
}

void Writer::bcd(std::string_view digits, std::size_t n) {
    // Right-aligned: the last digit lands in the low nibble of the last byte.
    std::string padded(2 * n, '0');
    const std::size_t used = std::min(digits.size(), 2 * n);
    std::copy(digits.end() - static_cast<std::ptrdiff_t>(used), digits.end(),
              padded.end() - static_cast<std::ptrdiff_t>(used));
    auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : 0; };
    for (std::size_t i = 0; i < n; ++i) {
        u8(static_cast<std::uint8_t>(digit(padded[2 * i]) << 4 | digit(padded[2 * i + 1])));
    }
}

std::string_view trimField(std::span<const std::uint8_t> field) {
    const auto zero = std::find(field.begin(), field.end(), std::uint8_t{0});
    std::string_view text(reinterpret_cast<const char*>(field.data()),
                          static_cast<std::size_t>(zero - field.begin()));
    while (!text.empty() && text.back() == ' ') {
        text.remove_suffix(1);
    }
    return text;
}

namespace {

bool allDigits(std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int twoDigits(std::string_view s, std::size_t at) {
    return (s[at] - '0') * 10 + (s[at + 1] - '0');
}

}  // namespace

std::optional<std::chrono::sys_seconds> bcdTimeToUtc(std::string_view digits, int zoneOffsetHours) {
    using namespace std::chrono;
    if (digits.size() != 12 || !allDigits(digits)) {
        return std::nullopt;
    }
    const year_month_day date{year{2000 + twoDigits(digits, 0)},
                              month{static_cast<unsigned>(twoDigits(digits, 2))},
                              day{static_cast<unsigned>(twoDigits(digits, 4))}};
    const int h = twoDigits(digits, 6);
    const int m = twoDigits(digits, 8);
    const int s = twoDigits(digits, 10);
    // A leap second (60) is refused: NMEA and the database have no place for it.
    if (!date.ok() || h > 23 || m > 59 || s > 59) {
        return std::nullopt;
    }
    return sys_days{date} + hours{h - zoneOffsetHours} + minutes{m} + seconds{s};
}

std::string utcToBcdTime(std::chrono::sys_seconds utc, int zoneOffsetHours) {
    using namespace std::chrono;
    const sys_seconds local = utc + hours{zoneOffsetHours};
    const sys_days day = floor<days>(local);
    const year_month_day date{day};
    const hh_mm_ss<seconds> tod{local - day};
    const int fields[6] = {static_cast<int>(date.year()) % 100,
                           static_cast<int>(static_cast<unsigned>(date.month())),
                           static_cast<int>(static_cast<unsigned>(date.day())),
                           static_cast<int>(tod.hours().count()),
                           static_cast<int>(tod.minutes().count()),
                           static_cast<int>(tod.seconds().count())};
    std::string out;
    for (const int f : fields) {
        const int v = (f % 100 + 100) % 100;
        out.push_back(static_cast<char>('0' + v / 10));
        out.push_back(static_cast<char>('0' + v % 10));
    }
    return out;
}

}  // namespace jt808
