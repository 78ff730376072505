#include "db/sql_command.h"

#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <random>

namespace db {
namespace {

// Drawn once per process: together with the sequence below it keeps ids of
// different runs apart without coordination.
std::uint64_t InstanceBits() {
    static const std::uint64_t bits = [] {
        std::random_device rd;
        std::uint64_t v = (std::uint64_t{rd()} << 32) ^ rd();
        const auto now =
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        v ^= now * 0x9E3779B97F4A7C15ULL;  // in case random_device is weak
        return v;
    }();
    return bits;
}

std::atomic<std::uint64_t> g_sequence{0};

void AppendQuoted(std::string& out, std::string_view text) {
    out += '\'';
    for (char c : text) {
        if (c == '\'') {
            out += '\'';
        }
        out += c;
    }
    out += '\'';
}

void AppendValue(std::string& out, const SqlValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        AppendQuoted(out, *text);
    } else if (const auto* real = std::get_if<double>(&value)) {
        out += FormatReal6(*real);
    } else {
        std::array<char, 24> buf{};
        auto res =
            std::to_chars(buf.data(), buf.data() + buf.size(), std::get<std::int64_t>(value));
        out.append(buf.data(), res.ptr);
    }
}

double FiniteOrZero(double v) {
    return std::isfinite(v) ? v : 0.0;
}

// The value the statement text shows (six decimals), so that a backend that
// binds it stores what a backend that runs the text would: 25.0520566666667
// becomes 25.052057, not a number no statement ever said.
double AsShownInTextByText(double v) {
    const std::string text = FormatReal6(v);
    double shown = 0;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), shown);
    return res.ec == std::errc{} ? shown : 0.0;
}

// The same value without the text, for every coordinate of every fix:
// printing and reading back cost more than the rest of the statement. Below
// 2^53 / 10^6 the millionths q = round(|v| * 10^6) fit a double exactly, so
// q / 10^6 is one correctly rounded division, the double nearest to the
// decimal the text shows, as reading it back gives. The rounding of v to q
// is done exactly in 128 bits, half to even as the text's is.
double AsShownInText(double v) {
    constexpr double kExactBelow = 9'007'199'254.0;  // < 2^53 / 10^6
    const double magnitude = std::fabs(v);
    if (!(magnitude < kExactBelow)) {
        return AsShownInTextByText(v);
    }
    if (magnitude == 0) {
        return v;  // "0.000000" or "-0.000000"
    }
    int exponent = 0;
    const double fraction = std::frexp(magnitude, &exponent);  // in [0.5, 1)
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    // magnitude = mantissa / 2^shift; shift > 19 as magnitude < 2^34.
    const int shift = 53 - exponent;
    if (shift >= 120) {
        return std::copysign(0.0, v);  // under a millionth by far
    }
    __extension__ using U128 = unsigned __int128;
    const U128 scaled = static_cast<U128>(mantissa) * 1'000'000U;
    U128 micros = scaled >> shift;
    const U128 rest = scaled - (micros << shift);
    const U128 half = static_cast<U128>(1) << (shift - 1);
    if (rest > half || (rest == half && (micros & 1U) != 0)) {
        ++micros;
    }
    return std::copysign(static_cast<double>(static_cast<std::uint64_t>(micros)) / 1e6, v);
}

SqlCommand MakeEvent(std::string_view deviceName, std::int64_t type, Clock::time_point builtAt,
                     StatementId id) {
    std::vector<SqlParam> params;
    params.reserve(2);
    params.push_back({"DeviceName", std::string(deviceName)});
    params.push_back({"EventTypeID", type});
    return SqlCommand("EVENT_UPDATE", std::move(params), builtAt, id);
}

}  // namespace

StatementId StatementId::New() {
    const std::uint64_t seq = g_sequence.fetch_add(1, std::memory_order_relaxed) + 1;
    // Version 4 and the RFC 4122 variant, so the text is a well-formed UUID.
    const std::uint64_t hi = (InstanceBits() & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;
    const std::uint64_t lo = (seq & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;
    return StatementId(hi, lo);
}

StatementId StatementId::ForEvent(std::uint64_t epoch, std::uint64_t seq, EventPart part) {
    constexpr std::uint64_t k53 = (std::uint64_t{1} << 53) - 1;
    epoch &= k53;
    // hi: the epoch's top 48 bits, version 8, its low 5 bits and the part.
    const std::uint64_t hi = ((epoch >> 5) << 16) | 0x8000ULL | ((epoch & 0x1F) << 7) |
                             (static_cast<std::uint64_t>(part) & 0x7F);
    // lo: the RFC 4122 variant and the seq.
    const std::uint64_t lo = 0x8000000000000000ULL | (seq & k53);
    return StatementId(hi, lo);
}

std::string StatementId::text() const {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(36);
    auto put = [&](std::uint64_t v, int fromNibble, int toNibble) {
        for (int i = fromNibble; i < toNibble; ++i) {
            out += kHex[(v >> (60 - 4 * i)) & 0xF];
        }
    };
    put(m_hi, 0, 8);
    out += '-';
    put(m_hi, 8, 12);
    out += '-';
    put(m_hi, 12, 16);
    out += '-';
    put(m_lo, 0, 4);
    out += '-';
    put(m_lo, 4, 16);
    return out;
}

SqlCommand::SqlCommand(std::string procedure, std::vector<SqlParam> params,
                       Clock::time_point builtAt, StatementId id)
    : m_procedure(std::move(procedure)),
      m_params(std::move(params)),
      m_builtAt(builtAt),
      m_id(id) {}

std::string SqlCommand::text() const {
    std::string out = "EXEC ";
    out += m_procedure;
    for (std::size_t i = 0; i < m_params.size(); ++i) {
        out += i == 0 ? ' ' : ',';
        if (!m_params[i].name.empty()) {
            out += '@';
            out += m_params[i].name;
            out += '=';
        }
        AppendValue(out, m_params[i].value);
    }
    return out;
}

SqlCommand MakeOnlineEvent(std::string_view deviceName, Clock::time_point builtAt, StatementId id) {
    return MakeEvent(deviceName, kEventOnline, builtAt, id);
}

SqlCommand MakeOfflineEvent(std::string_view deviceName, Clock::time_point builtAt,
                            StatementId id) {
    return MakeEvent(deviceName, kEventOffline, builtAt, id);
}

SqlCommand MakeGpsFix(std::string_view deviceName, const GpsFix& fix, std::string gpsInfo,
                      Clock::time_point builtAt, StatementId id) {
    std::vector<SqlParam> params;
    params.reserve(6);
    params.push_back({{}, std::string(deviceName)});
    params.push_back({{}, AsShownInText(FiniteOrZero(fix.latitude))});
    params.push_back({{}, AsShownInText(FiniteOrZero(fix.longitude))});
    params.push_back({{}, std::int64_t{TruncateToInt32(fix.speed)}});
    params.push_back({{}, std::int64_t{TruncateToInt32(fix.course)}});
    params.push_back({{}, std::move(gpsInfo)});
    return SqlCommand("GPS_ADD", std::move(params), builtAt, id);
}

std::string FormatReal6(double value) {
    // Large enough for the longest fixed rendering of any double.
    std::array<char, 400> buf{};
    auto res =
        std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, 6);
    if (res.ec != std::errc{}) {
        return "0.000000";
    }
    return std::string(buf.data(), res.ptr);
}

std::int32_t TruncateToInt32(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    const double t = std::trunc(value);
    if (t >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (t <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(t);
}

std::string FormatUtcMillis(Clock::time_point t) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(t);
    const auto day = floor<days>(ms);
    const year_month_day ymd{day};
    const hh_mm_ss hms{ms - day};
    const int year = static_cast<int>(ymd.year());
    const auto month = static_cast<unsigned>(ymd.month());
    const auto dayOfMonth = static_cast<unsigned>(ymd.day());
    const auto hours = static_cast<unsigned>(hms.hours().count());
    const auto minutes = static_cast<unsigned>(hms.minutes().count());
    const auto secs = static_cast<unsigned>(hms.seconds().count());
    const auto millis = static_cast<unsigned>(hms.subseconds().count());
    if (year < 0 || year > 9999) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u.%03u", year, month,
                      dayOfMonth, hours, minutes, secs, millis);
        return buf;
    }
    // Written digit by digit: the worker stamps every statement it sends,
    // and the formatted print cost it more than the rest of the stamp.
    std::string text = "0000-00-00 00:00:00.000";
    const auto put = [&text](std::size_t end, unsigned value) {
        for (std::size_t i = end; value != 0; value /= 10) {
            text[--i] = static_cast<char>('0' + value % 10);
        }
    };
    put(4, static_cast<unsigned>(year));
    put(7, month);
    put(10, dayOfMonth);
    put(13, hours);
    put(16, minutes);
    put(19, secs);
    put(23, millis);
    return text;
}

}  // namespace db
