// SQLite: one file, WAL journal, synchronous=NORMAL. In WAL mode NORMAL keeps
// the database consistent through a crash or power loss; only the commits of
// the last moments before a power loss may be lost, which is acceptable for a
// stream of position reports and buys several times the commit rate.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <system_error>
#include <vector>

#include "db/backend.h"
#include "db/procedures.h"
#include "db/schema.h"
#include "files/private_files.h"
#include "text/ascii.h"

namespace db {
namespace {

ExecStatus Classify(int code) {
    switch (code & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_NOMEM:
        case SQLITE_IOERR:
        case SQLITE_FULL:
        case SQLITE_CANTOPEN:
        case SQLITE_PROTOCOL:
        case SQLITE_READONLY:
        case SQLITE_INTERRUPT:
            return ExecStatus::Transient;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            // Keep the statements: a file replaced or repaired by an
            // administrator is picked up by the reopen.
            return ExecStatus::ConnectionLost;
        default:
            return ExecStatus::Rejected;
    }
}

// Waits for a lock like sqlite3_busy_timeout, but gives up at once when the
// connection is cancelled (a stop must not wait out the whole time-out).
struct BusyWait {
    int timeoutMs = 0;
    int waitedMs = 0;
    const CancelToken* cancel = nullptr;

    static int Retry(void* self, int count) {
        auto& w = *static_cast<BusyWait*>(self);
        if (count == 0) {
            w.waitedMs = 0;
        }
        if ((w.cancel != nullptr && w.cancel->Cancelled()) || w.waitedMs >= w.timeoutMs) {
            return 0;
        }
        const int ms = std::min({count + 1, 10, w.timeoutMs - w.waitedMs});
        sqlite3_sleep(ms);
        w.waitedMs += ms;
        return 1;
    }
};

// Files made by earlier versions require coordinates in gps_fixes; SQLite
// changes a column's constraint only by copying the table. The schema script
// that follows makes the index and the trigger again.
constexpr const char* kNullableCoordinates = R"sql(
DROP TRIGGER IF EXISTS gps_add_call;
DROP TRIGGER IF EXISTS gps_add_apply;
CREATE TABLE gps_fixes_nullable (
    id           INTEGER PRIMARY KEY,
    device_name  TEXT NOT NULL,
    latitude     REAL,
    longitude    REAL,
    speed        INTEGER NOT NULL,
    course       INTEGER NOT NULL,
    gps_info     TEXT NOT NULL,
    received_at  TEXT NOT NULL,
    statement_id TEXT UNIQUE
) STRICT;
INSERT INTO gps_fixes_nullable
    SELECT id, device_name, latitude, longitude, speed, course, gps_info, received_at,
           statement_id
      FROM gps_fixes;
DROP TABLE gps_fixes;
ALTER TABLE gps_fixes_nullable RENAME TO gps_fixes;
)sql";

bool GpsFixesRequireCoordinates(sqlite3* db) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT \"notnull\" FROM pragma_table_info('gps_fixes') "
                           "WHERE name = 'latitude'",
                           -1, &stmt, nullptr) != SQLITE_OK) {
        return false;
    }
    const bool required = sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int(stmt, 0) != 0;
    sqlite3_finalize(stmt);
    return required;
}

// Which file a path named when it was looked at.
struct FileIdentity {
    dev_t dev = 0;
    ino_t ino = 0;
    bool known = false;

    static FileIdentity Of(const std::string& path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            return {};
        }
        return {st.st_dev, st.st_ino, true};
    }
    bool operator==(const FileIdentity&) const = default;
};

class SqliteBackend final : public Backend {
public:
    SqliteBackend(sqlite3* db, CancelToken* cancel) : m_db(db), m_cancel(cancel) {
        m_busy.cancel = cancel;
        if (m_cancel != nullptr) {
            m_cancel->Arm([db] { sqlite3_interrupt(db); });
        }
    }
    ~SqliteBackend() override { Close(); }

    void SetBusyTimeout(int ms) {
        m_busy.timeoutMs = ms;
        sqlite3_busy_handler(m_db, &BusyWait::Retry, &m_busy);
    }

    std::string Prepare() {
        const auto procs = KnownProcedures();
        m_stmts.assign(procs.size(), nullptr);
        for (std::size_t i = 0; i < procs.size(); ++i) {
            std::string sql = "INSERT INTO ";
            sql += procs[i].sqlName;
            sql += " VALUES (";
            for (std::size_t k = 0; k < procs[i].params.size() + kStampParams; ++k) {
                sql += k == 0 ? "?" : ",?";
            }
            sql += ')';
            if (sqlite3_prepare_v3(m_db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &m_stmts[i],
                                   nullptr) != SQLITE_OK) {
                return std::string("cannot prepare ") + std::string(procs[i].name) + ": " +
                       sqlite3_errmsg(m_db);
            }
        }
        return {};
    }

    bool IsOpen() const override { return m_db != nullptr; }

    // Takes note of which files the path names now, once the schema is in
    // place (the write-ahead log and its index exist from then on).
    std::string RememberFiles(std::string path) {
        m_path = std::move(path);
        m_main = FileIdentity::Of(m_path);
        int moved = 0;
        if (!m_main.known ||
            sqlite3_file_control(m_db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) != SQLITE_OK ||
            moved != 0) {
            return "the file was moved or deleted while it was opened";
        }
        m_wal = FileIdentity::Of(m_path + "-wal");
        m_shm = FileIdentity::Of(m_path + "-shm");
        return {};
    }

    bool WatchesFile() const override { return m_db != nullptr; }

    std::string FileReplaced() override {
        std::string what;
        struct stat st {};
        if (::stat(m_path.c_str(), &st) != 0) {
            const int e = errno;
            what = e == ENOENT ? m_path + " was deleted"
                               : m_path + " cannot be found (" + std::strerror(e) + ")";
        } else if (FileIdentity{st.st_dev, st.st_ino, true} != m_main) {
            what = m_path + " was replaced by another file";
        } else {
            return {};
        }
        // SQLite keeps the log of a file it finds moved when it closes it,
        // and would apply that log to whatever file the path names next.
        RemoveIfStill(m_path + "-wal", m_wal);
        RemoveIfStill(m_path + "-shm", m_shm);
        return what;
    }

    ExecResult Execute(const SqlCommand& command) override {
        if (m_db == nullptr) {
            return {ExecStatus::ConnectionLost, 0, "the connection is not open"};
        }
        std::string error;
        const ProcedureDef* def = CheckCommand(command, error);
        if (def == nullptr) {
            return {ExecStatus::Rejected, 0, error};
        }
        sqlite3_stmt* stmt = m_stmts[static_cast<std::size_t>(def - KnownProcedures().data())];
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);

        int index = 1;
        for (const auto& p : command.params()) {
            if (const auto* text = std::get_if<std::string>(&p.value)) {
                sqlite3_bind_text64(stmt, index, text->data(), text->size(), SQLITE_STATIC,
                                    SQLITE_UTF8);
            } else if (const auto* real = std::get_if<double>(&p.value)) {
                sqlite3_bind_double(stmt, index, *real);
            } else {
                const auto n = std::get<std::int64_t>(p.value);
                if (def->params[static_cast<std::size_t>(index - 1)] == ParamType::Real) {
                    sqlite3_bind_double(stmt, index, static_cast<double>(n));
                } else {
                    sqlite3_bind_int64(stmt, index, n);
                }
            }
            ++index;
        }
        const std::string receivedAt = FormatUtcMillis(command.builtAt());
        sqlite3_bind_text(stmt, index++, receivedAt.c_str(), static_cast<int>(receivedAt.size()),
                          SQLITE_STATIC);
        std::string id;
        if (!command.id().isNil()) {
            id = command.id().text();
            sqlite3_bind_text(stmt, index, id.c_str(), static_cast<int>(id.size()), SQLITE_STATIC);
        }

        const sqlite3_int64 before = sqlite3_total_changes64(m_db);
        const int rc = sqlite3_step(stmt);
        ExecResult result;
        if (rc == SQLITE_DONE || rc == SQLITE_ROW) {
            // Changes made by the trigger behind the view count here, not in
            // sqlite3_changes().
            result.rows = sqlite3_total_changes64(m_db) - before;
            result.status = result.rows > 0 ? ExecStatus::Applied : ExecStatus::NoRows;
        } else {
            result.status = Classify(sqlite3_extended_errcode(m_db));
            result.diskFull = (sqlite3_extended_errcode(m_db) & 0xFF) == SQLITE_FULL;
            result.error = sqlite3_errmsg(m_db);
        }
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        return result;
    }

    ExecResult Begin() override { return Run("BEGIN IMMEDIATE"); }
    ExecResult Commit() override { return Run("COMMIT"); }
    ExecResult Rollback() override { return Run("ROLLBACK"); }

    void Close() override {
        if (m_cancel != nullptr) {
            m_cancel->Disarm();  // before the handle goes
            m_cancel = nullptr;
        }
        for (sqlite3_stmt*& s : m_stmts) {
            sqlite3_finalize(s);
            s = nullptr;
        }
        m_stmts.clear();
        if (m_db != nullptr) {
            sqlite3_close_v2(m_db);
            m_db = nullptr;
        }
    }

    // Deletes in bounded transactions, oldest first through the index on
    // received_at, so the writer is held up a moment at a time.
    FixUpkeepResult KeepFixes(const FixUpkeep& upkeep) override {
        FixUpkeepResult out;
        out.result.status = ExecStatus::NoRows;
        if (upkeep.retentionDays <= 0) {
            return out;
        }
        if (m_db == nullptr) {
            out.result = {ExecStatus::ConnectionLost, 0, "the connection is not open"};
            return out;
        }
        const auto today =
            upkeep.today != std::chrono::sys_days{}
                ? upkeep.today
                : std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
        const std::string cutoff = FixCutoffText(today, upkeep.retentionDays);
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_db,
                               "DELETE FROM gps_fixes WHERE id IN (SELECT id FROM gps_fixes "
                               "WHERE received_at < ?1 ORDER BY received_at LIMIT ?2)",
                               -1, &stmt, nullptr) != SQLITE_OK) {
            out.result = {Classify(sqlite3_extended_errcode(m_db)), 0, sqlite3_errmsg(m_db)};
            return out;
        }
        sqlite3_bind_text(stmt, 1, cutoff.c_str(), -1, SQLITE_TRANSIENT);
        const std::size_t batch = std::max<std::size_t>(upkeep.batchRows, 1);
        sqlite3_bind_int64(stmt, 2, static_cast<sqlite3_int64>(batch));
        for (std::size_t i = 0; i < std::max<std::size_t>(upkeep.maxBatches, 1); ++i) {
            const int rc = sqlite3_step(stmt);
            if (rc != SQLITE_DONE) {
                out.result = {Classify(sqlite3_extended_errcode(m_db)), 0, sqlite3_errmsg(m_db)};
                break;
            }
            const auto deleted = static_cast<std::uint64_t>(sqlite3_changes64(m_db));
            sqlite3_reset(stmt);
            out.rowsDeleted += deleted;
            out.more = deleted == batch;
            if (!out.more) {
                break;
            }
        }
        sqlite3_finalize(stmt);
        if (out.result.status == ExecStatus::NoRows && out.rowsDeleted > 0) {
            out.result.status = ExecStatus::Applied;
            out.result.rows = static_cast<std::int64_t>(out.rowsDeleted);
        }
        return out;
    }

private:
    ExecResult Run(const char* sql) {
        if (m_db == nullptr) {
            return {ExecStatus::ConnectionLost, 0, "the connection is not open"};
        }
        char* msg = nullptr;
        const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &msg);
        ExecResult result;
        if (rc == SQLITE_OK) {
            result.status = ExecStatus::Applied;
        } else {
            result.status = Classify(rc);
            result.diskFull = (rc & 0xFF) == SQLITE_FULL;
            result.error = msg != nullptr ? msg : sqlite3_errstr(rc);
        }
        sqlite3_free(msg);
        return result;
    }

    static void RemoveIfStill(const std::string& path, const FileIdentity& ours) {
        if (ours.known && FileIdentity::Of(path) == ours) {
            ::unlink(path.c_str());
        }
    }

    sqlite3* m_db;
    CancelToken* m_cancel;
    std::string m_path;
    FileIdentity m_main, m_wal, m_shm;
    BusyWait m_busy;
    std::vector<sqlite3_stmt*> m_stmts;  // one per known procedure
};

std::string ExecAll(sqlite3* db, const std::string& sql) {
    char* msg = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg);
    std::string error;
    if (rc != SQLITE_OK) {
        error = msg != nullptr ? msg : sqlite3_errstr(rc);
    }
    sqlite3_free(msg);
    return error;
}

// Switching a file to WAL takes its lock without asking the busy handler, so
// two servers opening the same new file at once would see one of them fail
// with "database is locked": the switch is tried again for the time-out.
std::string SwitchToWal(sqlite3* db, int timeoutMs, const CancelToken* cancel) {
    for (int waitedMs = 0;; waitedMs += 10) {
        std::string error = ExecAll(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
        if (error.empty() || (sqlite3_errcode(db) & 0xFF) != SQLITE_BUSY ||
            waitedMs >= timeoutMs || (cancel != nullptr && cancel->Cancelled())) {
            return error;
        }
        sqlite3_sleep(10);
    }
}

}  // namespace

BackendOpenResult OpenSqliteBackend(std::string_view connectionString, int timeoutSeconds,
                                    const std::filesystem::path& baseDir, CancelToken* cancel) {
    const std::string_view pathText =
        text::TrimAscii(connectionString.substr(7));  // after "sqlite:"
    if (pathText.empty()) {
        return {nullptr, "no database file named after 'sqlite:'"};
    }
    if (pathText.find('\0') != std::string_view::npos) {
        return {nullptr, "the database file name contains a NUL character"};
    }
    std::filesystem::path path{std::string(pathText)};
    if (path.is_relative()) {
        path = (baseDir.empty() ? ExecutableDirectory() : baseDir) / path;
    }
    std::error_code ec;
    if (path.has_parent_path() && !files::CreatePrivateFolders(path.parent_path(), ec)) {
        return {nullptr,
                "cannot create the folder " + path.parent_path().string() + ": " + ec.message()};
    }
    // SQLite would create the file under the umask, often readable by every
    // local user; its -wal and -shm files take the mode of this one.
    if (!files::CreatePrivateFile(path, ec)) {
        return {nullptr, "cannot create " + path.string() + ": " + ec.message()};
    }

    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string error = "cannot open " + path.string() + ": " +
                            (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
        sqlite3_close_v2(raw);
        return {nullptr, error};
    }
    auto backend = std::make_unique<SqliteBackend>(raw, cancel);
    sqlite3_extended_result_codes(raw, 1);
    const long long ms = timeoutSeconds > 0 ? 1000LL * timeoutSeconds : INT_MAX;
    backend->SetBusyTimeout(static_cast<int>(ms > INT_MAX ? INT_MAX : ms));

    std::string error = SwitchToWal(raw, static_cast<int>(std::min<long long>(ms, INT_MAX)), cancel);
    if (error.empty()) {
        error = ExecAll(raw, "BEGIN IMMEDIATE;");
        if (error.empty() && GpsFixesRequireCoordinates(raw)) {
            error = ExecAll(raw, kNullableCoordinates);
        }
        if (error.empty()) {
            error = ExecAll(raw, std::string(SqliteSchemaSql()) + "\nCOMMIT;");
        }
        if (!error.empty()) {
            ExecAll(raw, "ROLLBACK");
        }
    }
    if (error.empty()) {
        error = backend->Prepare();
    }
    if (error.empty()) {
        error = backend->RememberFiles(path.string());
    }
    if (!error.empty()) {
        return {nullptr, path.string() + ": " + error};
    }
    return {std::move(backend), {}};
}

}  // namespace db
