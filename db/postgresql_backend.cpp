// PostgreSQL through libpq: the known procedures are prepared once per
// connection and called with bound parameters. Commits stay durable (the
// server's synchronous_commit is left alone).
#include <libpq-fe.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "db/backend.h"
#include "db/pg_array_text.h"
#include "db/procedures.h"

namespace db {
namespace {

// Type OIDs of the built-in types bound below.
constexpr Oid kTextOid = 25;
constexpr Oid kFloat8Oid = 701;
constexpr Oid kInt4Oid = 23;
constexpr Oid kTimestamptzOid = 1184;
constexpr Oid kUuidOid = 2950;
constexpr Oid kTextArrayOid = 1009;
constexpr Oid kFloat8ArrayOid = 1022;
constexpr Oid kInt4ArrayOid = 1007;
constexpr Oid kTimestamptzArrayOid = 1185;
constexpr Oid kUuidArrayOid = 2951;

// A run of GPS_ADD calls in one call of gps_add_group, one array per
// parameter (gps_add's own and the stamp parameters).
constexpr const char* kGpsAddGroupStatement = "vardo_gps_add_group";
constexpr const char* kGpsAddGroupSql = "SELECT gps_add_group($1, $2, $3, $4, $5, $6, $7, $8)";
constexpr std::array<Oid, 8> kGpsAddGroupTypes{
    kTextArrayOid, kFloat8ArrayOid, kFloat8ArrayOid,      kInt4ArrayOid,
    kInt4ArrayOid, kTextArrayOid,   kTimestamptzArrayOid, kUuidArrayOid};
// Shorter runs go call by call: one call of the procedure costs no more.
constexpr std::size_t kShortestGpsAddRun = 2;

std::string Trimmed(const char* message) {
    std::string s = message != nullptr ? message : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

ExecStatus ClassifySqlState(std::string_view state) {
    if (state.size() != 5) {
        return ExecStatus::Rejected;
    }
    const std::string_view cls = state.substr(0, 2);
    if (cls == "08" || state == "57P01" || state == "57P02" || state == "57P03") {
        return ExecStatus::ConnectionLost;  // connection failure, server shutting down
    }
    if (cls == "40" || cls == "53" || cls == "58" || state == "55P03" || state == "57014") {
        return ExecStatus::Transient;  // deadlock, out of resources, I/O, lock or statement
                                       // time-out
    }
    return ExecStatus::Rejected;
}

std::string StatementName(const ProcedureDef& def) {
    return "vardo_" + std::string(def.sqlName);
}

// Breaks off a call on `conn` from another thread: asks the server to cancel
// the statement (PQcancel, on a thread of its own, since on a dead network it
// would block) and shuts the socket down, which ends our wait for an answer
// whatever the network does. The connection is then lost; the statement's
// outcome is unknown and its id makes the retry harmless.
std::function<void()> CancelHook(PGconn* conn) {
    std::shared_ptr<PGcancel> request(PQgetCancel(conn), [](PGcancel* c) {
        if (c != nullptr) {
            PQfreeCancel(c);
        }
    });
    const int fd = PQsocket(conn);
    return [request, fd] {
        if (request) {
            try {
                std::thread([request] {
                    std::array<char, 256> error{};
                    PQcancel(request.get(), error.data(), static_cast<int>(error.size()));
                }).detach();
            } catch (...) {
            }
        }
        if (fd >= 0) {
            ::shutdown(fd, SHUT_RDWR);
        }
    };
}

class PostgresqlBackend final : public Backend {
public:
    PostgresqlBackend(PGconn* conn, CancelToken* cancel) : m_conn(conn), m_cancel(cancel) {
        if (m_cancel != nullptr) {
            m_cancel->Arm(CancelHook(conn));
        }
    }
    ~PostgresqlBackend() override { Close(); }

    std::string Prepare() {
        for (const ProcedureDef& def : KnownProcedures()) {
            std::vector<Oid> types;
            std::string sql = "CALL " + std::string(def.sqlName) + "(";
            for (std::size_t i = 0; i < def.params.size() + kStampParams; ++i) {
                sql += (i == 0 ? "$" : ", $") + std::to_string(i + 1);
            }
            sql += ", NULL)";  // the INOUT result
            for (ParamType t : def.params) {
                types.push_back(t == ParamType::Text   ? kTextOid
                                : t == ParamType::Real ? kFloat8Oid
                                                       : kInt4Oid);
            }
            types.push_back(kTimestamptzOid);
            types.push_back(kUuidOid);
            m_statementNames.push_back(StatementName(def));
            PGresult* res = PQprepare(m_conn, m_statementNames.back().c_str(), sql.c_str(),
                                      static_cast<int>(types.size()), types.data());
            const bool ok = res != nullptr && PQresultStatus(res) == PGRES_COMMAND_OK;
            std::string error = ok ? std::string() : Trimmed(PQerrorMessage(m_conn));
            PQclear(res);
            if (!ok) {
                return "cannot prepare " + std::string(def.name) +
                       " (is db/schema/postgresql.sql "
                       "installed in this database?): " +
                       error;
            }
        }
        return PrepareGpsAddGroup();
    }

    // A database whose schema predates gps_add_group is served call by
    // call, and says so once per connection.
    std::string PrepareGpsAddGroup() {
        PGresult* res =
            PQprepare(m_conn, kGpsAddGroupStatement, kGpsAddGroupSql,
                      static_cast<int>(kGpsAddGroupTypes.size()), kGpsAddGroupTypes.data());
        const bool ok = res != nullptr && PQresultStatus(res) == PGRES_COMMAND_OK;
        const char* state = res != nullptr ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
        const bool missing = state != nullptr && std::string_view(state) == "42883";
        std::string error = ok ? std::string() : Trimmed(PQerrorMessage(m_conn));
        PQclear(res);
        m_gpsAddGroup = ok;
        if (missing) {
            m_notice =
                "the database has no gps_add_group (re-run db/schema/postgresql.sql to add "
                "it): each fix of a group is stored by a call of its own";
            return {};
        }
        return ok ? std::string() : "cannot prepare gps_add_group: " + error;
    }

    std::string Notice() const override { return m_notice; }

    std::string RunSetup(const std::string& sql) {
        PGresult* res = PQexec(m_conn, sql.c_str());
        const bool ok = res != nullptr && PQresultStatus(res) == PGRES_COMMAND_OK;
        std::string error = ok ? std::string() : Trimmed(PQerrorMessage(m_conn));
        PQclear(res);
        return error;
    }

    bool IsOpen() const override { return m_conn != nullptr; }

    ExecResult Execute(const SqlCommand& command) override {
        if (m_conn == nullptr) {
            return {ExecStatus::ConnectionLost, 0, "the connection is not open"};
        }
        BoundCall call;
        std::string error;
        if (!Bind(command, call, error)) {
            return {ExecStatus::Rejected, 0, error};
        }
        PGresult* res = PQexecPrepared(m_conn, call.statement->c_str(), call.count(),
                                       call.values.data(), nullptr, nullptr, 0);
        ExecResult result = CallResult(res);
        PQclear(res);
        return result;
    }

    // gps_fixes_maintain() of our schema does the work on the server: a day
    // whose partition goes is dropped whole, not deleted row by row.
    FixUpkeepResult KeepFixes(const FixUpkeep& upkeep) override {
        FixUpkeepResult out;
        if (m_conn == nullptr) {
            out.result = {ExecStatus::ConnectionLost, 0, "the connection is not open"};
            return out;
        }
        const std::string retention = std::to_string(std::max(upkeep.retentionDays, 0));
        const std::string ahead = std::to_string(std::max(upkeep.daysAhead, 0));
        const std::string today =
            upkeep.today != std::chrono::sys_days{} ? DayText(upkeep.today) : std::string();
        const std::array<const char*, 3> values{retention.c_str(), ahead.c_str(),
                                                today.empty() ? nullptr : today.c_str()};
        PGresult* res = PQexecParams(m_conn,
                                     "SELECT created, dropped, deleted "
                                     "FROM gps_fixes_maintain($1::integer, $2::integer, $3::date)",
                                     3, nullptr, values.data(), nullptr, nullptr, 0);
        if (res != nullptr && PQresultStatus(res) == PGRES_TUPLES_OK && PQntuples(res) == 1) {
            out.partitionsCreated = std::strtoull(PQgetvalue(res, 0, 0), nullptr, 10);
            out.partitionsDropped = std::strtoull(PQgetvalue(res, 0, 1), nullptr, 10);
            out.rowsDeleted = std::strtoull(PQgetvalue(res, 0, 2), nullptr, 10);
            const bool changed =
                out.partitionsCreated + out.partitionsDropped + out.rowsDeleted > 0;
            out.result.status = changed ? ExecStatus::Applied : ExecStatus::NoRows;
        } else {
            out.result = Failure(res);
        }
        PQclear(res);
        return out;
    }

    // The whole group in one pipeline: BEGIN, every call, COMMIT and a sync go
    // out before the first answer is read, so the group costs one round trip
    // and one commit. At the first error the server skips the rest up to the
    // sync; the transaction is then rolled back.
    //
    // Blocking mode is safe with a pipeline of any length: while a send would
    // block, libpq reads and keeps what the server sends, so neither side can
    // wait for the other with both buffers full.
    GroupResult ExecuteGroup(std::span<const SqlCommand> group) override {
        GroupResult out;
        if (m_conn == nullptr) {
            out.result = {ExecStatus::ConnectionLost, 0, "the connection is not open"};
            return out;
        }
        // Every value is checked before anything is sent: a statement the
        // client refuses never opens a transaction.
        std::vector<BoundCall> calls(group.size());
        for (std::size_t i = 0; i < group.size(); ++i) {
            std::string error;
            if (!Bind(group[i], calls[i], error)) {
                out.result = {ExecStatus::Rejected, 0, error};
                out.failedAt = i;
                return out;
            }
        }
        try {
            if (!m_gpsAddGroup) {
                return RunPipeline(calls, PlanCalls(calls.size()));
            }
            GroupResult grouped = RunPipeline(calls, PlanRuns(calls));
            if (grouped.failedAt != kRunFailed) {
                return grouped;
            }
            // The set-based call tells only that one of its statements
            // failed: the group, rolled back, runs again call by call, which
            // names the statement.
            return RunPipeline(calls, PlanCalls(calls.size()));
        } catch (...) {
            // Results may still be under way: this connection cannot be
            // trusted for the next statement.
            Close();
            throw;
        }
    }

    ExecResult Begin() override { return Run("BEGIN"); }
    ExecResult Commit() override { return Run("COMMIT"); }
    ExecResult Rollback() override { return Run("ROLLBACK"); }

    void Close() override {
        if (m_cancel != nullptr) {
            m_cancel->Disarm();  // before the socket is closed (its number reused)
            m_cancel = nullptr;
        }
        if (m_conn != nullptr) {
            PQfinish(m_conn);
            m_conn = nullptr;
        }
    }

private:
    // One call's parameters as the protocol carries them (text).
    struct BoundCall {
        const std::string* statement = nullptr;
        bool gpsAdd = false;  // may join a run of GPS_ADD calls
        std::vector<std::string> texts;
        std::vector<const char*> values;
        int count() const { return static_cast<int>(values.size()); }
    };

    // Every value travels as text in the protocol; the server parses it as
    // the declared type, so nothing is ever pasted into SQL.
    bool Bind(const SqlCommand& command, BoundCall& call, std::string& error) const {
        const ProcedureDef* def = CheckCommand(command, error);
        if (def == nullptr) {
            return false;
        }
        call.statement =
            &m_statementNames[static_cast<std::size_t>(def - KnownProcedures().data())];
        call.gpsAdd = def->sqlName == "gps_add";
        call.texts.clear();
        call.texts.reserve(command.params().size() + kStampParams);
        for (const auto& p : command.params()) {
            if (const auto* text = std::get_if<std::string>(&p.value)) {
                if (text->find('\0') != std::string::npos) {
                    error = "a text value contains a NUL character";
                    return false;
                }
                call.texts.push_back(*text);
            } else if (const auto* real = std::get_if<double>(&p.value)) {
                call.texts.push_back(RealText(*real));
            } else {
                call.texts.push_back(std::to_string(std::get<std::int64_t>(p.value)));
            }
        }
        call.texts.push_back(FormatUtcMillis(command.builtAt()) + "+00");
        const bool hasId = !command.id().isNil();
        call.texts.push_back(hasId ? command.id().text() : std::string());
        call.values.clear();
        call.values.reserve(call.texts.size());
        for (const auto& t : call.texts) {
            call.values.push_back(t.c_str());
        }
        if (!hasId) {
            call.values.back() = nullptr;
        }
        return true;
    }

    // The outcome of one procedure call.
    ExecResult CallResult(PGresult* res, bool closeIfLost = true) {
        ExecResult result;
        const ExecStatusType st = res != nullptr ? PQresultStatus(res) : PGRES_FATAL_ERROR;
        if (st == PGRES_TUPLES_OK) {
            // The procedure's INOUT "applied": 1, or 0 when its id was known.
            result.rows = 1;
            if (PQntuples(res) == 1 && PQnfields(res) >= 1 && !PQgetisnull(res, 0, 0)) {
                const char* v = PQgetvalue(res, 0, 0);
                std::int64_t n = 1;
                std::from_chars(v, v + std::char_traits<char>::length(v), n);
                result.rows = n;
            }
            result.status = result.rows > 0 ? ExecStatus::Applied : ExecStatus::NoRows;
        } else if (st == PGRES_COMMAND_OK) {
            result.rows = 1;
            result.status = ExecStatus::Applied;
        } else {
            result = Failure(res, closeIfLost);
        }
        return result;
    }

    // One query of a group's pipeline: a call, or a run of GPS_ADD calls in
    // one call of gps_add_group.
    struct Query {
        std::size_t first = 0;
        std::size_t count = 1;
        bool run = false;
    };

    // failedAt of a group whose gps_add_group call failed: which of its
    // statements is to blame is not known yet. Never leaves ExecuteGroup.
    static constexpr std::size_t kRunFailed = GroupResult::kTransaction - 1;

    static std::vector<Query> PlanCalls(std::size_t n) {
        std::vector<Query> plan(n);
        for (std::size_t i = 0; i < n; ++i) {
            plan[i].first = i;
        }
        return plan;
    }

    // Consecutive GPS_ADD calls become runs; the order of the statements is
    // kept.
    static std::vector<Query> PlanRuns(const std::vector<BoundCall>& calls) {
        std::vector<Query> plan;
        for (std::size_t i = 0; i < calls.size();) {
            std::size_t end = i + 1;
            while (calls[i].gpsAdd && end < calls.size() && calls[end].gpsAdd) {
                ++end;
            }
            if (end - i >= kShortestGpsAddRun) {
                plan.push_back({i, end - i, true});
            } else {
                for (std::size_t k = i; k < end; ++k) {
                    plan.push_back({k, 1, false});
                }
            }
            i = end;
        }
        return plan;
    }

    bool SendQuery(const std::vector<BoundCall>& calls, const Query& q) {
        if (!q.run) {
            const BoundCall& c = calls[q.first];
            return PQsendQueryPrepared(m_conn, c.statement->c_str(), c.count(), c.values.data(),
                                       nullptr, nullptr, 0) == 1;
        }
        std::array<std::string, kGpsAddGroupTypes.size()> arrays;
        std::array<const char*, kGpsAddGroupTypes.size()> values{};
        std::vector<const char*> column(q.count);
        for (std::size_t p = 0; p < arrays.size(); ++p) {
            for (std::size_t k = 0; k < q.count; ++k) {
                column[k] = calls[q.first + k].values[p];
            }
            arrays[p] = PgArrayText(column);
            values[p] = arrays[p].c_str();
        }
        return PQsendQueryPrepared(m_conn, kGpsAddGroupStatement, static_cast<int>(values.size()),
                                   values.data(), nullptr, nullptr, 0) == 1;
    }

    // The outcome of a gps_add_group call and how many of its run applied.
    ExecResult RunResult(PGresult* res, const Query& q, std::size_t& applied) {
        if (PQresultStatus(res) != PGRES_TUPLES_OK) {
            return Failure(res, /*closeIfLost=*/false);
        }
        const std::optional<std::size_t> ones =
            PQntuples(res) == 1 && PQnfields(res) == 1 && !PQgetisnull(res, 0, 0)
                ? CountOnes(PQgetvalue(res, 0, 0), q.count)
                : std::nullopt;
        if (!ones) {
            return {ExecStatus::Rejected, 0,
                    "gps_add_group answered something else than the "
                    "applied flags of its statements"};
        }
        applied += *ones;
        return {ExecStatus::Applied, static_cast<std::int64_t>(*ones), {}};
    }

    GroupResult RunPipeline(const std::vector<BoundCall>& calls, const std::vector<Query>& plan) {
        GroupResult out;
        auto lost = [&](std::string error) {
            if (error.empty()) {
                error = Trimmed(PQerrorMessage(m_conn));
            }
            out.result = {ExecStatus::ConnectionLost, 0,
                          error.empty() ? "the connection broke during a group" : error};
            out.failedAt = GroupResult::kTransaction;
            out.applied = 0;
            Close();
            return out;
        };
        if (PQenterPipelineMode(m_conn) != 1) {
            return lost({});
        }
        bool sent = PQsendQueryParams(m_conn, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0);
        for (const Query& q : plan) {
            sent = sent && SendQuery(calls, q);
        }
        sent = sent &&
               PQsendQueryParams(m_conn, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
        sent = sent && PQpipelineSync(m_conn) == 1;
        if (!sent) {
            return lost({});
        }

        // Query q: 0 is BEGIN, 1..n the plan's, n + 1 COMMIT. Each query's
        // results end with a null; the sync's result comes last.
        const std::size_t n = plan.size();
        bool failed = false;
        for (std::size_t q = 0; q < n + 2; ++q) {
            PGresult* res = PQgetResult(m_conn);
            if (res == nullptr) {
                return lost({});
            }
            const ExecStatusType st = PQresultStatus(res);
            if (!failed && st != PGRES_PIPELINE_ABORTED) {
                const bool call = q > 0 && q <= n;
                ExecResult r;
                if (!call) {
                    r = st == PGRES_COMMAND_OK ? ExecResult{ExecStatus::Applied, 0, {}}
                                               : Failure(res, /*closeIfLost=*/false);
                } else if (plan[q - 1].run) {
                    r = RunResult(res, plan[q - 1], out.applied);
                } else {
                    r = CallResult(res, /*closeIfLost=*/false);
                    out.applied += r.applied() ? 1 : 0;
                }
                if (!r.ran()) {
                    failed = true;
                    out.result = std::move(r);
                    out.failedAt = !call             ? GroupResult::kTransaction
                                   : plan[q - 1].run ? kRunFailed
                                                     : plan[q - 1].first;
                }
            }
            PQclear(res);
            if (PQstatus(m_conn) != CONNECTION_OK) {
                return lost(failed ? out.result.error : std::string());
            }
            // The null that ends this query's results (a call has one result).
            while ((res = PQgetResult(m_conn)) != nullptr) {
                PQclear(res);
                if (PQstatus(m_conn) != CONNECTION_OK) {
                    return lost(failed ? out.result.error : std::string());
                }
            }
        }
        PGresult* sync = PQgetResult(m_conn);
        const bool synced = sync != nullptr && PQresultStatus(sync) == PGRES_PIPELINE_SYNC;
        PQclear(sync);
        if (!synced || PQexitPipelineMode(m_conn) != 1) {
            return lost(failed ? out.result.error : std::string());
        }
        if (!failed) {
            out.result = {ExecStatus::Applied, 0, {}};
            out.failedAt = GroupResult::kTransaction;
            return out;
        }
        out.applied = 0;
        if (out.result.status == ExecStatus::ConnectionLost) {
            if (out.failedAt == kRunFailed) {
                out.failedAt = GroupResult::kTransaction;  // nothing to run again on
            }
            Close();
        } else if (PQtransactionStatus(m_conn) != PQTRANS_IDLE) {
            // The error left the transaction open and aborted.
            const ExecResult rollback = Run("ROLLBACK");
            if (rollback.status == ExecStatus::ConnectionLost) {
                out.result = rollback;
                out.failedAt = GroupResult::kTransaction;
            }
        }
        return out;
    }

    static std::string RealText(double v) {
        if (std::isnan(v)) {
            return "NaN";
        }
        if (std::isinf(v)) {
            return v > 0 ? "Infinity" : "-Infinity";
        }
        std::array<char, 32> buf{};
        auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);  // shortest exact form
        return std::string(buf.data(), r.ptr);
    }

    ExecResult Failure(PGresult* res, bool closeIfLost = true) {
        ExecResult result;
        const char* state = res != nullptr ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
        result.error = Trimmed(res != nullptr ? PQresultErrorMessage(res) : nullptr);
        if (result.error.empty()) {
            result.error = Trimmed(PQerrorMessage(m_conn));
        }
        if (PQstatus(m_conn) != CONNECTION_OK) {
            result.status = ExecStatus::ConnectionLost;
        } else if (state == nullptr) {
            // No server answer at all: the client side failed (out of memory,
            // a broken socket not yet seen as such). Reconnect to be sure.
            result.status = ExecStatus::ConnectionLost;
        } else {
            result.status = ClassifySqlState(state);
            result.diskFull = std::string_view(state) == "53100";  // disk_full
            result.timedOut = std::string_view(state) == "57014";  // query_canceled
        }
        if (closeIfLost && result.status == ExecStatus::ConnectionLost) {
            Close();
        }
        return result;
    }

    ExecResult Run(const char* sql) {
        if (m_conn == nullptr) {
            return {ExecStatus::ConnectionLost, 0, "the connection is not open"};
        }
        PGresult* res = PQexec(m_conn, sql);
        ExecResult result;
        if (res != nullptr && PQresultStatus(res) == PGRES_COMMAND_OK) {
            result.status = ExecStatus::Applied;
        } else {
            result = Failure(res);
        }
        PQclear(res);
        return result;
    }

    PGconn* m_conn;
    CancelToken* m_cancel;
    std::vector<std::string> m_statementNames;  // one per known procedure, in their order
    bool m_gpsAddGroup = false;                 // gps_add_group is prepared
    std::string m_notice;                       // what the owner should log about this connection
};

// Connects step by step, so that the time-out covers the whole handshake (a
// peer that accepts and never answers included) and a cancel ends it.
std::string Connect(PGconn* conn, int timeoutSeconds, const CancelToken* cancel) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = timeoutSeconds > 0 ? Clock::now() + std::chrono::seconds(timeoutSeconds)
                                             : Clock::time_point::max();
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK) {
        if (state == PGRES_POLLING_FAILED || PQstatus(conn) == CONNECTION_BAD) {
            const std::string error = Trimmed(PQerrorMessage(conn));
            return error.empty() ? "cannot connect" : error;
        }
        if (cancel != nullptr && cancel->Cancelled()) {
            return "connecting was cancelled";
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return "timeout expired while connecting";
        }
        // Short slices: a cancel is seen within one.
        const auto slice =
            std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(100));
        pollfd pfd{PQsocket(conn),
                   static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
        const int ready = ::poll(
            &pfd, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
        if (ready < 0 && errno != EINTR) {
            return std::string("cannot wait for the server: ") + std::strerror(errno);
        }
        if (ready > 0) {
            state = PQconnectPoll(conn);
        }
    }
    return {};
}

}  // namespace

BackendOpenResult OpenPostgresqlBackend(std::string_view connectionString, int timeoutSeconds,
                                        CancelToken* cancel) {
    const std::string conninfo(connectionString);
    if (conninfo.find('\0') != std::string::npos) {
        return {nullptr, "the connection string contains a NUL character"};
    }
    const std::string timeout = std::to_string(timeoutSeconds > 0 ? timeoutSeconds : 0);
    // Keyword order matters: the expanded connection string overrides the
    // keepalive defaults before it, and the settings after it override it.
    // Keepalives find a dead peer of an idle connection in about 25 s; the
    // user time-out bounds how long sent data may go unacknowledged.
    const std::array<const char*, 10> keys{"keepalives",
                                           "keepalives_idle",
                                           "keepalives_interval",
                                           "keepalives_count",
                                           "tcp_user_timeout",
                                           "fallback_application_name",
                                           "dbname",
                                           "connect_timeout",
                                           "client_encoding",
                                           nullptr};
    const std::array<const char*, 10> values{
        "1",    "10",   "5", "3", "20000", "vardo-event-server", conninfo.c_str(), timeout.c_str(),
        "UTF8", nullptr};
    PGconn* conn = PQconnectStartParams(keys.data(), values.data(), 1);
    if (conn == nullptr) {
        return {nullptr, "out of memory"};
    }
    if (const std::string error = Connect(conn, timeoutSeconds, cancel); !error.empty()) {
        PQfinish(conn);
        return {nullptr, error};
    }
    auto backend = std::make_unique<PostgresqlBackend>(conn, cancel);
    const long long ms = timeoutSeconds > 0 ? 1000LL * timeoutSeconds : 0;
    std::string error =
        backend->RunSetup("SET statement_timeout = " + std::to_string(ms > INT_MAX ? INT_MAX : ms));
    if (error.empty()) {
        error = backend->Prepare();
    }
    if (!error.empty()) {
        return {nullptr, error};
    }
    return {std::move(backend), {}};
}

}  // namespace db
