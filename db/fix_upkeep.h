#pragma once
// The upkeep of gps_fixes: partitions made ahead (PostgreSQL) and fixes older
// than the site keeps removed (EventServer_FixRetentionDays).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "db/exec_result.h"

namespace db {

struct FixUpkeep {
    int retentionDays = 0;  // 0 keeps every fix
    int daysAhead = 7;      // PostgreSQL: days whose partitions are made ahead
    // The day (UTC) counted from; the epoch stands for the database's own
    // date. Tests set it to cross midnights without waiting for one.
    std::chrono::sys_days today{};
    // SQLite: rows deleted per transaction, and transactions per call, so
    // that statements queued meanwhile wait a moment, not minutes.
    std::size_t batchRows = 5000;
    std::size_t maxBatches = 20;
};

struct FixUpkeepResult {
    ExecResult result;  // Applied or NoRows when it ran
    std::uint64_t partitionsCreated = 0;
    std::uint64_t partitionsDropped = 0;
    std::uint64_t rowsDeleted = 0;  // one by one (SQLite, the default partition)
    bool more = false;              // old rows remain: call again soon
};

// Reads EventServer_FixRetentionDays: empty means 0 (keep all); 0 to 36500
// days. Other text keeps 0 and returns a warning naming the key.
std::string ReadFixRetentionDays(std::string_view text, int& days);

// 'YYYY-MM-DD'.
std::string DayText(std::chrono::sys_days day);

// The first moment kept, as SQLite's time text 'YYYY-MM-DD 00:00:00.000':
// midnight (UTC) retentionDays days before `today`.
std::string FixCutoffText(std::chrono::sys_days today, int retentionDays);

}  // namespace db
