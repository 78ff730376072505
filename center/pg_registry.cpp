#include "center/pg_registry.h"

#include <unistd.h>

#include "center/claim_watch.h"
#include "center/registry_schema.h"
#include "text/log_text.h"

namespace center {
namespace {

constexpr const char* kColumns =
    "phone, auth_code, plate, plate_colour, province, city, maker_id, model, terminal_id, "
    "driver, first_seen, last_seen, released_until";

// Two centers starting at once must not both create the tables.
constexpr const char* kCreateLocked = "SELECT pg_advisory_xact_lock(hashtext('center_registry'))";

constexpr const char* kTablesPresent =
    "SELECT to_regclass('center_terminals') IS NOT NULL "
    "AND to_regclass('center_allowed_terminals') IS NOT NULL "
    "AND to_regclass('center_terminal_leases') IS NOT NULL "
    "AND to_regclass('center_lease_generation') IS NOT NULL";

}  // namespace

std::string NewCenterId() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
        std::snprintf(host, sizeof host, "center");
    }
    std::string name = host;
    for (char& c : name) {
        if (c == ' ') {
            c = '_';
        }
    }
    return name + ":" + std::to_string(getpid()) + ":" + newAuthCode().substr(0, 8);
}

PgRegistry::PgRegistry(std::string conninfo, std::string centerId, Log log)
    : conninfo_(std::move(conninfo)),
      centerId_(centerId.empty() ? NewCenterId() : std::move(centerId)),
      log_(std::move(log)) {}

PgRegistry::~PgRegistry() {
    stopWatching();
}

std::string PgRegistry::open() {
    if (std::string error = link_.connect(conninfo_); !error.empty()) {
        return "cannot open the registry in PostgreSQL: " + error;
    }
    // A registry whose tables exist needs no right to create any.
    if (PgResult present = link_.run(kTablesPresent); present.ok() && present.text(0, 0) == "t") {
        return {};
    }
    PgResult created = link_.run("BEGIN;\n" + std::string(kCreateLocked) + ";\n" +
                                 std::string(RegistrySchemaSql()) + "\nCOMMIT;");
    if (!created.ok()) {
        link_.run("ROLLBACK");
        std::string error =
            "cannot create the registry's tables in " + link_.where() + ": " + created.error();
        link_.close();
        return error;
    }
    return {};
}

std::unique_ptr<Registry> PgRegistry::openAnother(std::string& error) {
    auto other = std::make_unique<PgRegistry>(conninfo_, centerId_, log_);
    if (error = other->open(); !error.empty()) {
        return nullptr;
    }
    return other;
}

std::optional<TerminalRecord> PgRegistry::find(const std::string& phone) {
    const PgResult r = link_.exec(
        (std::string("SELECT ") + kColumns + " FROM center_terminals WHERE phone = $1").c_str(),
        {phone});
    if (!r.ok() || r.rows() == 0) {
        if (!r.ok() && log_) {
            log_("registry: " + r.error());
        }
        return std::nullopt;
    }
    TerminalRecord t;
    t.phone = r.text(0, 0);
    t.authCode = r.text(0, 1);
    t.plate = r.text(0, 2);
    t.plateColour = static_cast<int>(r.integer(0, 3));
    t.province = static_cast<int>(r.integer(0, 4));
    t.city = static_cast<int>(r.integer(0, 5));
    t.makerId = r.text(0, 6);
    t.model = r.text(0, 7);
    t.terminalId = r.text(0, 8);
    t.driver = r.text(0, 9);
    t.firstSeen = r.integer(0, 10);
    t.lastSeen = r.integer(0, 11);
    t.releasedUntil = r.integer(0, 12);
    return t;
}

std::optional<std::string> PgRegistry::store(const TerminalRecord& terminal, std::int64_t now,
                                             bool onlyWithoutCode, std::string& error) {
    std::string code = newAuthCode();
    if (code.empty()) {
        error = "no random numbers from the kernel";
        return std::nullopt;
    }
    // One statement, so that the check of the held code and the write are
    // one step for every other center and operator.
    std::string sql =
        "INSERT INTO center_terminals AS t (phone, auth_code, plate, plate_colour, province, "
        "city, maker_id, model, terminal_id, first_seen, last_seen) "
        "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $10) "
        "ON CONFLICT (phone) DO UPDATE SET auth_code = EXCLUDED.auth_code, "
        "plate = EXCLUDED.plate, plate_colour = EXCLUDED.plate_colour, "
        "province = EXCLUDED.province, city = EXCLUDED.city, maker_id = EXCLUDED.maker_id, "
        "model = EXCLUDED.model, terminal_id = EXCLUDED.terminal_id, "
        "last_seen = EXCLUDED.last_seen, released_until = 0 ";
    if (onlyWithoutCode) {
        sql += "WHERE t.auth_code = '' AND (t.released_until = 0 OR $10 <= t.released_until) ";
    }
    sql += "RETURNING auth_code";
    const PgResult r = link_.exec(
        sql.c_str(), {terminal.phone, code, terminal.plate, std::to_string(terminal.plateColour),
                      std::to_string(terminal.province), std::to_string(terminal.city),
                      terminal.makerId, terminal.model, terminal.terminalId, std::to_string(now)});
    if (!r.ok()) {
        error = r.error();
        return std::nullopt;
    }
    if (r.rows() == 0) {
        return std::nullopt;  // refused by the condition; error stays empty
    }
    return code;
}

std::optional<std::string> PgRegistry::enroll(const TerminalRecord& terminal, std::int64_t now,
                                              std::string& error) {
    return store(terminal, now, false, error);
}

Registry::Enrolment PgRegistry::enrollNew(const TerminalRecord& terminal, std::int64_t now) {
    Enrolment result;
    if (auto code = store(terminal, now, true, result.error)) {
        result.admission = Admission::Enrolled;
        result.code = std::move(*code);
        return result;
    }
    if (!result.error.empty()) {
        return result;
    }
    // Refused: say why.
    const auto held = find(terminal.phone);
    if (!held) {
        result.error = "the registry changed meanwhile; the terminal may try again";
    } else {
        result.admission =
            held->authCode.empty() ? Admission::ReleaseExpired : Admission::HoldsCode;
    }
    return result;
}

std::string PgRegistry::release(const std::string& phone, std::int64_t until) {
    const PgResult r = link_.exec(
        "UPDATE center_terminals SET auth_code = '', released_until = $2 WHERE phone = "
        "(SELECT phone FROM center_terminals WHERE ltrim(phone, '0') = ltrim($1, '0') "
        "ORDER BY phone LIMIT 1) RETURNING phone",
        {phone, std::to_string(until)});
    if (!r.ok()) {
        return "error: " + r.error();
    }
    if (r.rows() == 0) {
        return "error: no terminal " + text::PeerText(phone) + " in the registry";
    }
    return r.text(0, 0);
}

std::string PgRegistry::touch(const std::string& phone, std::int64_t now) {
    return link_
        .exec("UPDATE center_terminals SET last_seen = $2 WHERE phone = $1",
              {phone, std::to_string(now)})
        .error();
}

std::string PgRegistry::setDriver(const std::string& phone, const std::string& driver) {
    return link_.exec("UPDATE center_terminals SET driver = $2 WHERE phone = $1", {phone, driver})
        .error();
}

std::string PgRegistry::forget(const std::string& phone) {
    return link_.exec("DELETE FROM center_terminals WHERE phone = $1", {phone}).error();
}

std::size_t PgRegistry::count() {
    const PgResult r = link_.run("SELECT count(*) FROM center_terminals");
    return r.ok() ? static_cast<std::size_t>(r.integer(0, 0)) : 0;
}

bool PgRegistry::allows(const std::string& phone) {
    const PgResult r = link_.exec(
        "SELECT 1 FROM center_allowed_terminals WHERE ltrim(phone, '0') = ltrim($1, '0') LIMIT 1",
        {phone});
    if (!r.ok() && log_) {
        log_("registry: cannot read the allow-list: " + r.error());
    }
    return r.rows() > 0;
}

std::int64_t PgRegistry::claim(const std::string& phone, std::int64_t atMs, std::string& error) {
    // The lease and the notice in one statement: the other centers hear of
    // the claim when it is committed, never of one that was not.
    const std::string sql =
        "WITH c AS (INSERT INTO center_terminal_leases AS l "
        "(phone, center_id, generation, claimed_at_ms) "
        "VALUES ($1, $2, nextval('center_lease_generation'), $3) "
        "ON CONFLICT (phone) DO UPDATE SET center_id = EXCLUDED.center_id, "
        "generation = EXCLUDED.generation, claimed_at_ms = EXCLUDED.claimed_at_ms "
        "RETURNING generation) "
        "SELECT generation, pg_notify('" +
        std::string(kClaimChannel) + "', $1 || ' ' || generation || ' ' || $3 || ' ' || $2) FROM c";
    const PgResult r = link_.exec(sql.c_str(), {phone, centerId_, std::to_string(atMs)});
    if (!r.ok() || r.rows() == 0) {
        error = r.ok() ? "the lease was not stored" : r.error();
        return 0;
    }
    return r.integer(0, 0);
}

void PgRegistry::watchClaims(ClaimHandler onClaims) {
    stopWatching();
    watch_ = std::make_unique<ClaimWatch>(conninfo_, centerId_,
                                          log_ ? log_ : Log([](const std::string&) {}));
    watch_->start(std::move(onClaims));
}

void PgRegistry::stopWatching() {
    if (watch_) {
        watch_->stop();
        watch_.reset();
    }
}

}  // namespace center
