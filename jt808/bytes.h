#pragma once
// Big-endian reading and writing of message bodies, and the BCD digits the
// protocol uses for phone numbers and times.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace jt808 {

// Reads a body front to back. Every read checks the remaining length first;
// after a failed read the reader stays failed, so a parser may read a whole
// layout and test ok() once.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    // The next n bytes; empty (and failed) when fewer remain.
    std::span<const std::uint8_t> take(std::size_t n);
    // Everything not read yet.
    std::span<const std::uint8_t> rest();
    // n BCD bytes as 2n digits; fails on a nibble above 9.
    std::string bcd(std::size_t n);

    bool ok() const { return ok_; }
    std::size_t remaining() const { return ok_ ? bytes_.size() - pos_ : 0; }
    std::size_t position() const { return pos_; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

class Writer {
public:
    // Room for n bytes in all, for a writer that knows its size.
    void reserve(std::size_t n) { bytes_.reserve(n); }
    void u8(std::uint8_t v) { bytes_.push_back(v); }
    void u16(std::uint16_t v);
    void u32(std::uint32_t v);
    void bytes(std::span<const std::uint8_t> v) { bytes_.insert(bytes_.end(), v.begin(), v.end()); }
    void text(std::string_view v);
    // The text in exactly n bytes: cut, or padded with zero bytes.
    void fixedText(std::string_view v, std::size_t n);
    // Digits as n BCD bytes, padded with leading zeros; non-digits count as 0.
    void bcd(std::string_view digits, std::size_t n);

    std::vector<std::uint8_t>& data() { return bytes_; }
    std::vector<std::uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
};

// A fixed-size text field: the bytes up to the first zero byte, without
// trailing spaces.
std::string_view trimField(std::span<const std::uint8_t> field);

// Times travel as 12 BCD digits YYMMDDhhmmss in the terminal's zone (GMT+8
// for location reports). Nothing when the digits are no valid date and time.
std::optional<std::chrono::sys_seconds> bcdTimeToUtc(std::string_view digits,
                                                     int zoneOffsetHours = 8);
// The 12 digits of a UTC instant shown in the given zone (years 2000-2099).
std::string utcToBcdTime(std::chrono::sys_seconds utc, int zoneOffsetHours = 8);

}  // namespace jt808
