#include "center/sqlite_registry.h"

#include <sqlite3.h>

#include <system_error>

#include "files/private_files.h"
#include "text/log_text.h"

namespace center {
namespace {

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS terminals (
  phone TEXT PRIMARY KEY,
  auth_code TEXT NOT NULL,
  plate TEXT NOT NULL DEFAULT '',
  plate_colour INTEGER NOT NULL DEFAULT 0,
  province INTEGER NOT NULL DEFAULT 0,
  city INTEGER NOT NULL DEFAULT 0,
  maker_id TEXT NOT NULL DEFAULT '',
  model TEXT NOT NULL DEFAULT '',
  terminal_id TEXT NOT NULL DEFAULT '',
  driver TEXT NOT NULL DEFAULT '',
  first_seen INTEGER NOT NULL,
  last_seen INTEGER NOT NULL,
  released_until INTEGER NOT NULL DEFAULT 0
);
)sql";

// Files written before releases existed lack the column.
constexpr const char* kAddReleasedUntil =
    "ALTER TABLE terminals ADD COLUMN released_until INTEGER NOT NULL DEFAULT 0";

// One use of a statement the connection keeps prepared (parsing the SQL
// again took a third of the center's time in a login storm): reset and
// cleared when it goes out of scope, so no read is left open on the file.
class Statement {
public:
    Statement(SqliteRegistry::Prepared& prepared, sqlite3* db, const char* sql) : db_(db) {
        sqlite3_stmt*& slot = prepared[sql];
        if (slot == nullptr && sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &slot,
                                                  nullptr) != SQLITE_OK) {
            error_ = sqlite3_errmsg(db);
            prepared.erase(sql);
            return;
        }
        stmt_ = slot;
    }
    ~Statement() {
        if (stmt_ != nullptr) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
        }
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    const std::string& error() const { return error_; }
    void bind(int i, const std::string& text) {
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void bind(int i, std::int64_t n) { sqlite3_bind_int64(stmt_, i, n); }
    // SQLITE_ROW, SQLITE_DONE or an error (kept in error()).
    int step() {
        const int rc = sqlite3_step(stmt_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            error_ = sqlite3_errmsg(db_);
        }
        return rc;
    }
    std::string text(int column) const {
        const auto* p = sqlite3_column_text(stmt_, column);
        return p != nullptr
                   ? std::string(reinterpret_cast<const char*>(p),
                                 static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                   : std::string();
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    std::string error_;
};

}  // namespace

SqliteRegistry::~SqliteRegistry() {
    close();
}

std::string SqliteRegistry::open(const std::string& path) {
    close();
    // Authentication codes are secrets: the file is the service's own.
    if (std::error_code ec; !files::CreatePrivateFile(path, ec)) {
        return "cannot open the registry " + text::PeerText(path, 1024) + ": " + ec.message();
    }
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        std::string error = "cannot open the registry '" + path +
                            "': " + (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
        close();
        return error;
    }
    sqlite3_busy_timeout(db_, 5000);
    // WAL with NORMAL sync: a registration survives a crash of the center; a
    // power cut may lose the last moments of last-seen times, never the file.
    for (const char* sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", kSchema}) {
        if (std::string error = exec(sql); !error.empty()) {
            close();
            return "cannot prepare the registry '" + path + "': " + error;
        }
    }
    if (sqlite3_stmt* probe = nullptr;
        sqlite3_prepare_v2(db_, "SELECT released_until FROM terminals", -1, &probe, nullptr) !=
        SQLITE_OK) {
        if (std::string error = exec(kAddReleasedUntil); !error.empty()) {
            close();
            return "cannot prepare the registry '" + path + "': " + error;
        }
    } else {
        sqlite3_finalize(probe);
    }
    path_ = path;
    return {};
}

void SqliteRegistry::close() {
    for (const auto& [sql, stmt] : prepared_) {
        sqlite3_finalize(stmt);
    }
    prepared_.clear();
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
        path_.clear();
    }
}

std::string SqliteRegistry::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string error = message != nullptr ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        return error;
    }
    return {};
}

std::optional<TerminalRecord> SqliteRegistry::find(const std::string& phone) {
    if (db_ == nullptr) {
        return std::nullopt;
    }
    Statement s(prepared_, db_,
                "SELECT phone, auth_code, plate, plate_colour, province, city, maker_id, model, "
                "terminal_id, driver, first_seen, last_seen, released_until FROM terminals "
                "WHERE phone = ?");
    if (!s.ok()) {
        return std::nullopt;
    }
    s.bind(1, phone);
    if (s.step() != SQLITE_ROW) {
        return std::nullopt;
    }
    TerminalRecord t;
    t.phone = s.text(0);
    t.authCode = s.text(1);
    t.plate = s.text(2);
    t.plateColour = static_cast<int>(s.integer(3));
    t.province = static_cast<int>(s.integer(4));
    t.city = static_cast<int>(s.integer(5));
    t.makerId = s.text(6);
    t.model = s.text(7);
    t.terminalId = s.text(8);
    t.driver = s.text(9);
    t.firstSeen = s.integer(10);
    t.lastSeen = s.integer(11);
    t.releasedUntil = s.integer(12);
    return t;
}

std::optional<std::string> SqliteRegistry::enroll(const TerminalRecord& terminal, std::int64_t now,
                                                  std::string& error) {
    if (db_ == nullptr) {
        error = "the registry is not open";
        return std::nullopt;
    }
    std::string code = newAuthCode();
    if (code.empty()) {
        error = "no random numbers from the kernel";
        return std::nullopt;
    }
    Statement s(prepared_, db_,
                "INSERT INTO terminals (phone, auth_code, plate, plate_colour, province, city, "
                "maker_id, model, terminal_id, first_seen, last_seen) "
                "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?10) "
                "ON CONFLICT(phone) DO UPDATE SET auth_code = excluded.auth_code, "
                "plate = excluded.plate, plate_colour = excluded.plate_colour, "
                "province = excluded.province, city = excluded.city, "
                "maker_id = excluded.maker_id, model = excluded.model, "
                "terminal_id = excluded.terminal_id, last_seen = excluded.last_seen, "
                "released_until = 0");
    if (!s.ok()) {
        error = s.error();
        return std::nullopt;
    }
    s.bind(1, terminal.phone);
    s.bind(2, code);
    s.bind(3, terminal.plate);
    s.bind(4, std::int64_t{terminal.plateColour});
    s.bind(5, std::int64_t{terminal.province});
    s.bind(6, std::int64_t{terminal.city});
    s.bind(7, terminal.makerId);
    s.bind(8, terminal.model);
    s.bind(9, terminal.terminalId);
    s.bind(10, now);
    if (s.step() != SQLITE_DONE) {
        error = s.error();
        return std::nullopt;
    }
    return code;
}

Registry::Enrolment SqliteRegistry::enrollNew(const TerminalRecord& terminal, std::int64_t now) {
    Enrolment result;
    if (db_ == nullptr) {
        result.error = "the registry is not open";
        return result;
    }
    // The check and the write in one transaction: an operator's release
    // from another process lands before or after, never in between.
    if (std::string error = exec("BEGIN IMMEDIATE"); !error.empty()) {
        result.error = error;
        return result;
    }
    if (const auto held = find(terminal.phone)) {
        if (!held->authCode.empty()) {
            result.admission = Admission::HoldsCode;
        } else if (held->releasedUntil != 0 && now > held->releasedUntil) {
            result.admission = Admission::ReleaseExpired;
        }
    }
    if (result.admission == Admission::Failed) {
        if (auto code = enroll(terminal, now, result.error)) {
            result.admission = Admission::Enrolled;
            result.code = std::move(*code);
        }
    }
    if (std::string error = exec(result.admission == Admission::Enrolled ? "COMMIT" : "ROLLBACK");
        !error.empty() && result.admission == Admission::Enrolled) {
        exec("ROLLBACK");
        result.admission = Admission::Failed;
        result.error = error;
    }
    return result;
}

std::string SqliteRegistry::release(const std::string& phone, std::int64_t until) {
    if (db_ == nullptr) {
        return "error: the registry is not open";
    }
    Statement find(prepared_, db_,
                   "SELECT phone FROM terminals WHERE ltrim(phone, '0') = ltrim(?, '0')");
    find.bind(1, phone);
    if (!find.ok() || find.step() != SQLITE_ROW) {
        return "error: " + (find.error().empty()
                                ? "no terminal " + text::PeerText(phone) + " in the registry"
                                : find.error());
    }
    const std::string stored = find.text(0);
    Statement s(prepared_, db_,
                "UPDATE terminals SET auth_code = '', released_until = ? WHERE phone = ?");
    s.bind(1, until);
    s.bind(2, stored);
    if (!s.ok() || s.step() != SQLITE_DONE) {
        return "error: " + s.error();
    }
    return stored;
}

std::string SqliteRegistry::touch(const std::string& phone, std::int64_t now) {
    if (db_ == nullptr) {
        return "the registry is not open";
    }
    Statement s(prepared_, db_, "UPDATE terminals SET last_seen = ? WHERE phone = ?");
    s.bind(1, now);
    s.bind(2, phone);
    return s.ok() && s.step() == SQLITE_DONE ? std::string() : s.error();
}

std::string SqliteRegistry::touchAll(const std::vector<Seen>& seen) {
    if (db_ == nullptr) {
        return "the registry is not open";
    }
    // One commit for all of them: a commit per login took a sixth of the
    // center's CPU in a login storm.
    if (std::string error = exec("BEGIN"); !error.empty()) {
        return error;
    }
    std::string first = Registry::touchAll(seen);
    if (std::string error = exec("COMMIT"); !error.empty()) {
        exec("ROLLBACK");
        return error;
    }
    return first;
}

std::string SqliteRegistry::setDriver(const std::string& phone, const std::string& driver) {
    if (db_ == nullptr) {
        return "the registry is not open";
    }
    Statement s(prepared_, db_, "UPDATE terminals SET driver = ? WHERE phone = ?");
    s.bind(1, driver);
    s.bind(2, phone);
    return s.ok() && s.step() == SQLITE_DONE ? std::string() : s.error();
}

std::string SqliteRegistry::forget(const std::string& phone) {
    if (db_ == nullptr) {
        return "the registry is not open";
    }
    Statement s(prepared_, db_, "DELETE FROM terminals WHERE phone = ?");
    s.bind(1, phone);
    return s.ok() && s.step() == SQLITE_DONE ? std::string() : s.error();
}

std::size_t SqliteRegistry::count() {
    if (db_ == nullptr) {
        return 0;
    }
    Statement s(prepared_, db_, "SELECT COUNT(*) FROM terminals");
    return s.ok() && s.step() == SQLITE_ROW ? static_cast<std::size_t>(s.integer(0)) : 0;
}

std::unique_ptr<Registry> SqliteRegistry::openAnother(std::string& error) {
    auto other = std::make_unique<SqliteRegistry>();
    if (error = other->open(path_); !error.empty()) {
        return nullptr;
    }
    return other;
}

}  // namespace center
