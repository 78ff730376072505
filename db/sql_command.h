#pragma once
// SqlCommand, one call of a stored procedure with typed parameters, its id
// and received time; the makers of the program's own statements; the
// locale-free formatting of their values.

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace db {

using Clock = std::chrono::system_clock;

// A typed parameter value: text (UTF-8), real or integer.
using SqlValue = std::variant<std::string, double, std::int64_t>;

struct SqlParam {
    std::string name;  // empty: positional, rendered without "@Name="
    SqlValue value;
};

// An id unique across restarts of the program: 64 random bits drawn once per
// process plus a per-process sequence, laid out as a UUID text
// ("xxxxxxxx-xxxx-4xxx-8xxx-xxxxxxxxxxxx"). The database keeps it under a
// unique constraint, so a statement retried after an unknown outcome (the
// connection dropped after it was sent) is applied once.
class StatementId {
public:
    StatementId() = default;  // the nil id
    StatementId(std::uint64_t hi, std::uint64_t lo) : m_hi(hi), m_lo(lo) {}
    static StatementId New();  // thread-safe
    // The part kinds of the statements one numbered event can give.
    enum class EventPart : std::uint8_t { Fix = 1, Online = 2, Offline = 3 };
    // The id of a statement made from event `seq` of the center's numbering
    // `epoch` (both below 2^53): the same in every run, so that the event sent
    // again after a restart, or a login list naming it, is applied once.
    // Laid out as a version-8 UUID, so it never meets an id of New().
    static StatementId ForEvent(std::uint64_t epoch, std::uint64_t seq, EventPart part);

    std::uint64_t hi() const { return m_hi; }
    std::uint64_t lo() const { return m_lo; }
    bool isNil() const { return m_hi == 0 && m_lo == 0; }
    std::string text() const;  // 36 characters, lower-case hex

    friend bool operator==(const StatementId&, const StatementId&) = default;

private:
    std::uint64_t m_hi = 0;
    std::uint64_t m_lo = 0;
};

// One stored-procedure call waiting for the database: the procedure, its
// parameters in call order, the time it was built (passed to the database as
// the received time, so a statement executed late keeps its time) and its id.
// Backends bind the parameters by position; the names only show in text().
class SqlCommand {
public:
    SqlCommand() = default;
    SqlCommand(std::string procedure, std::vector<SqlParam> params,
               Clock::time_point builtAt = Clock::now(), StatementId id = StatementId::New());

    const std::string& procedure() const { return m_procedure; }
    const std::vector<SqlParam>& params() const { return m_params; }
    Clock::time_point builtAt() const { return m_builtAt; }
    const StatementId& id() const { return m_id; }

    // The T-SQL text of the call, e.g.
    //   EXEC EVENT_UPDATE @DeviceName='X7',@EventTypeID=6
    //   EXEC GPS_ADD 'X7',25.052057,121.676130,18,90,'$GPRMC,...'
    // Text values are quoted with single quotes doubled; reals carry six
    // decimals; nothing depends on the process locale. No length limit.
    std::string text() const;

private:
    std::string m_procedure;
    std::vector<SqlParam> m_params;
    Clock::time_point m_builtAt{};
    StatementId m_id;
};

inline constexpr std::int64_t kEventOnline = 6;
inline constexpr std::int64_t kEventOffline = 7;

// The three statements the device handlers queue.
SqlCommand MakeOnlineEvent(std::string_view deviceName, Clock::time_point builtAt = Clock::now(),
                           StatementId id = StatementId::New());
SqlCommand MakeOfflineEvent(std::string_view deviceName, Clock::time_point builtAt = Clock::now(),
                            StatementId id = StatementId::New());
// One position report of a device; all 0 when its sentence did not parse.
struct GpsFix {
    double latitude = 0;   // signed decimal degrees, north positive
    double longitude = 0;  // signed decimal degrees, east positive
    double speed = 0;      // km/h
    double course = 0;     // degrees
};

// Speed and course are truncated toward zero to 32-bit integers (NaN gives
// 0, values past the range saturate); latitude and longitude are rounded to
// the six decimals text() shows, and one that is not finite is sent as 0,
// like a fix that did not parse.
// The sentence is taken by value: a caller done with its text moves it in.
SqlCommand MakeGpsFix(std::string_view deviceName, const GpsFix& fix, std::string gpsInfo,
                      Clock::time_point builtAt = Clock::now(),
                      StatementId id = StatementId::New());

// Helpers shared by the backends and the tools.
std::string FormatReal6(double value);             // "25.052057", locale-free
std::int32_t TruncateToInt32(double value);        // toward zero, saturating, NaN -> 0
std::string FormatUtcMillis(Clock::time_point t);  // "2026-12-08 16:49:52.123"

}  // namespace db
