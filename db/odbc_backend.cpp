// ODBC through unixODBC: Driver= and DSN= strings go to the driver manager as
// they are; an OLE DB string for SQL Server is first translated to one for
// FreeTDS. Every value is bound as a parameter; text travels as UTF-16.

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <array>
#include <chrono>
#include <cstring>
#include <mutex>
#include <vector>

#include "db/backend.h"
#include "db/odbc_diagnostics.h"
#include "db/odbc_dialect.h"
#include "db/oledb_translation.h"
#include "db/procedures.h"
#include "db/sql_browser.h"
#include "db/utf16.h"
#include "text/password_mask.h"

namespace db {
namespace {

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "unixODBC's SQLWCHAR is UTF-16");

// Past this many UTF-16 units a text goes as a long type (nvarchar(max)).
constexpr std::size_t kMaxShortText = 4000;

SQLWCHAR* Wide(std::u16string& s) {
    return reinterpret_cast<SQLWCHAR*>(s.data());
}

std::u16string FromAscii(std::string_view s) {
    return std::u16string(s.begin(), s.end());
}

bool Ok(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// One bound parameter's storage; its address stays fixed while bound.
struct BoundValue {
    std::u16string wide;
    std::string narrow;
    double real = 0;
    SQLINTEGER integer = 0;
    SQL_TIMESTAMP_STRUCT stamp{};
    SQLLEN indicator = 0;
};

SQL_TIMESTAMP_STRUCT ToTimestamp(Clock::time_point t) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(t);
    const auto day = floor<days>(ms);
    const year_month_day ymd{day};
    const hh_mm_ss hms{ms - day};
    SQL_TIMESTAMP_STRUCT ts{};
    ts.year = static_cast<SQLSMALLINT>(static_cast<int>(ymd.year()));
    ts.month = static_cast<SQLUSMALLINT>(static_cast<unsigned>(ymd.month()));
    ts.day = static_cast<SQLUSMALLINT>(static_cast<unsigned>(ymd.day()));
    ts.hour = static_cast<SQLUSMALLINT>(hms.hours().count());
    ts.minute = static_cast<SQLUSMALLINT>(hms.minutes().count());
    ts.second = static_cast<SQLUSMALLINT>(hms.seconds().count());
    ts.fraction = static_cast<SQLUINTEGER>(hms.subseconds().count() * 1000000);  // nanoseconds
    return ts;
}

class OdbcBackend final : public Backend {
public:
    OdbcBackend(SQLHENV env, SQLHDBC dbc, int timeoutSeconds, CancelToken* cancel)
        : m_env(env),
          m_dbc(dbc),
          m_timeout(timeoutSeconds > 0 ? timeoutSeconds : 0),
          m_cancel(cancel) {}
    ~OdbcBackend() override { Close(); }

    // Learns the dialect and what the procedures take. Empty on success.
    std::string Setup() {
        std::array<SQLWCHAR, 256> name{};
        SQLSMALLINT length = 0;
        std::string dbms;
        if (Ok(SQLGetInfoW(m_dbc, SQL_DBMS_NAME, name.data(),
                           static_cast<SQLSMALLINT>(sizeof(SQLWCHAR) * name.size()), &length))) {
            std::size_t units = 0;
            while (units < name.size() && name[units] != 0) {
                ++units;
            }
            dbms = Utf16ToUtf8Lossy(
                std::u16string_view(reinterpret_cast<const char16_t*>(name.data()), units));
        }
        m_dialect = DialectOfDbms(dbms);
        const auto procedures = KnownProcedures();
        m_extras.assign(procedures.size(), m_dialect == OdbcDialect::Postgresql);
        if (m_dialect == OdbcDialect::Postgresql) {
            std::string names;
            for (const auto& p : procedures) {
                names += (names.empty() ? "'" : ", '") + std::string(p.sqlName) + "'";
            }
            std::string error;
            const auto found = QueryInteger(
                "SELECT count(DISTINCT proname) FROM pg_catalog.pg_proc WHERE prokind = 'p' AND "
                "pg_catalog.pg_function_is_visible(oid) AND proname IN (" +
                    names + ")",
                error);
            if (!found) {
                return "cannot look for the procedures: " + error;
            }
            if (*found != static_cast<long long>(procedures.size())) {
                return "the procedures " + names +
                       " are missing (is db/schema/postgresql.sql installed in this database?)";
            }
        } else if (m_dialect == OdbcDialect::SqlServer) {
            // A site may run procedures of its own that take only the
            // device's values; ours (db/schema/sqlserver.sql) also take the
            // received time and the statement id, which date a late
            // statement right and let a retried one be applied once. The two
            // are sent only where the catalog shows both, since a procedure
            // without them would refuse the call; when the catalog cannot
            // tell (no right to see it), the shorter call is the safe one.
            for (std::size_t i = 0; i < procedures.size(); ++i) {
                std::string error;
                const auto n = QueryInteger(
                    "SELECT COUNT(*) FROM sys.parameters WHERE object_id = OBJECT_ID(N'" +
                        std::string(procedures[i].name) +
                        "') AND name IN (N'@ReceivedAt', N'@StatementID')",
                    error);
                if (!IsOpen()) {
                    return "the connection broke while looking at the procedures: " + error;
                }
                m_extras[i] = n && *n == static_cast<long long>(kStampParams);
            }
        }
        return {};
    }

    bool IsOpen() const override { return m_dbc != SQL_NULL_HDBC; }

    ExecResult Execute(const SqlCommand& command) override {
        if (!IsOpen()) {
            return {ExecStatus::ConnectionLost, 0, "the connection is not open"};
        }
        std::string error;
        const ProcedureDef* def = CheckCommand(command, error);
        if (def == nullptr) {
            return {ExecStatus::Rejected, 0, error};
        }
        const auto index = static_cast<std::size_t>(def - KnownProcedures().data());
        const auto call = OdbcCallFor(m_dialect, *def, command, m_extras[index], error);
        if (!call) {
            return {ExecStatus::Rejected, 0, error};
        }

        std::vector<BoundValue> values(command.params().size() + kStampParams);
        for (std::size_t i = 0; i < command.params().size(); ++i) {
            const SqlValue& v = command.params()[i].value;
            if (const auto* text = std::get_if<std::string>(&v)) {
                if (text->find('\0') != std::string::npos) {
                    return {ExecStatus::Rejected, 0, "a text value contains a NUL character"};
                }
                if (!Utf8ToUtf16(*text, values[i].wide)) {
                    return {ExecStatus::Rejected, 0, "a text value is not valid UTF-8"};
                }
            }
        }

        SQLHSTMT stmt = SQL_NULL_HSTMT;
        ExecResult prepared = Prepared(call->text, stmt);
        if (stmt == SQL_NULL_HSTMT) {
            return prepared;
        }
        if (auto failed = Bind(stmt, *def, command, *call, values)) {
            if (IsOpen()) {
                SQLFreeStmt(stmt, SQL_RESET_PARAMS);
            }
            return *failed;
        }
        // Another thread may cancel the call while it runs (SQLCancel is
        // meant for that); the hook goes before the handle can be freed.
        if (m_cancel != nullptr) {
            m_cancel->Arm([stmt] { SQLCancel(stmt); });
        }
        const SQLRETURN rc = SQLExecute(stmt);
        if (m_cancel != nullptr) {
            m_cancel->Disarm();
        }
        ExecResult result = Collect(stmt, rc, call->appliedFlag);
        if (IsOpen()) {
            SQLFreeStmt(stmt, SQL_CLOSE);
            SQLFreeStmt(stmt, SQL_RESET_PARAMS);
        }
        return result;
    }

    ExecResult Begin() override {
        if (!IsOpen()) {
            return {ExecStatus::ConnectionLost, 0, "the connection is not open"};
        }
        const SQLRETURN rc = SQLSetConnectAttrW(
            m_dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
        if (!Ok(rc)) {
            return Failed(SQL_HANDLE_DBC, m_dbc);
        }
        m_inTransaction = true;
        return {ExecStatus::Applied, 0, {}};
    }

    ExecResult Commit() override { return EndTransaction(SQL_COMMIT); }
    ExecResult Rollback() override { return EndTransaction(SQL_ROLLBACK); }

    void Close() override {
        for (auto& [text, stmt] : m_statements) {
            SQLFreeStmt(stmt, SQL_CLOSE);
            SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        }
        m_statements.clear();
        if (m_dbc != SQL_NULL_HDBC) {
            if (m_inTransaction) {
                SQLEndTran(SQL_HANDLE_DBC, m_dbc, SQL_ROLLBACK);
            }
            SQLDisconnect(m_dbc);
            SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
            m_dbc = SQL_NULL_HDBC;
        }
        if (m_env != SQL_NULL_HENV) {
            SQLFreeHandle(SQL_HANDLE_ENV, m_env);
            m_env = SQL_NULL_HENV;
        }
        m_inTransaction = false;
    }

private:
    bool ConnectionDead() const {
        SQLUINTEGER dead = SQL_CD_FALSE;
        const SQLRETURN rc = SQLGetConnectAttrW(m_dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
        return Ok(rc) && dead == SQL_CD_TRUE;
    }

    // The outcome of a failed call on `handle`. Frees `owned`, a statement
    // not kept in m_statements, then closes the connection when it is lost
    // (which frees the kept statements).
    ExecResult Failed(SQLSMALLINT type, SQLHANDLE handle, SQLHSTMT owned = SQL_NULL_HSTMT) {
        const auto records = ReadOdbcDiagnostics(type, handle);
        const OdbcDiagnostic* primary = PrimaryOdbcDiagnostic(records);
        ExecResult result;
        result.status = primary != nullptr
                            ? ClassifyOdbcError(primary->state, primary->native, m_dialect)
                            : ExecStatus::ConnectionLost;
        if (result.status != ExecStatus::ConnectionLost && ConnectionDead()) {
            result.status = ExecStatus::ConnectionLost;
        }
        result.timedOut = result.status == ExecStatus::Transient && primary != nullptr &&
                          (primary->state == "HYT00" || primary->state == "57014");
        result.error = DescribeOdbcDiagnostics(records);
        if (owned != SQL_NULL_HSTMT) {
            SQLFreeHandle(SQL_HANDLE_STMT, owned);
        }
        if (result.status == ExecStatus::ConnectionLost) {
            Close();
        }
        return result;
    }

    SQLHSTMT NewStatement() {
        SQLHSTMT stmt = SQL_NULL_HSTMT;
        if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &stmt))) {
            return SQL_NULL_HSTMT;
        }
        if (m_timeout > 0) {
            // A driver without statement time-outs answers 01S02 or HYC00;
            // the connection's own time-outs still hold.
            SQLSetStmtAttrW(stmt, SQL_ATTR_QUERY_TIMEOUT,
                            reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(m_timeout)), 0);
        }
        return stmt;
    }

    // The prepared statement for `text`, prepared on first use.
    ExecResult Prepared(const std::string& text, SQLHSTMT& out) {
        out = SQL_NULL_HSTMT;
        for (const auto& [t, stmt] : m_statements) {
            if (t == text) {
                out = stmt;
                return {ExecStatus::Applied, 0, {}};
            }
        }
        SQLHSTMT stmt = NewStatement();
        if (stmt == SQL_NULL_HSTMT) {
            return Failed(SQL_HANDLE_DBC, m_dbc);
        }
        std::u16string wide = FromAscii(text);
        if (!Ok(SQLPrepareW(stmt, Wide(wide), static_cast<SQLINTEGER>(wide.size())))) {
            return Failed(SQL_HANDLE_STMT, stmt, stmt);
        }
        m_statements.emplace_back(text, stmt);
        out = stmt;
        return {ExecStatus::Applied, 0, {}};
    }

    // Nothing when every parameter is bound, else the failure.
    std::optional<ExecResult> Bind(SQLHSTMT stmt, const ProcedureDef& def,
                                   const SqlCommand& command, const OdbcCall& call,
                                   std::vector<BoundValue>& values) {
        SQLUSMALLINT number = 0;
        auto bind = [&](SQLSMALLINT cType, SQLSMALLINT sqlType, SQLULEN size, SQLSMALLINT digits,
                        SQLPOINTER data, SQLLEN bufferLength, SQLLEN* indicator) {
            ++number;
            return Ok(SQLBindParameter(stmt, number, SQL_PARAM_INPUT, cType, sqlType, size, digits,
                                       data, bufferLength, indicator));
        };
        bool ok = true;
        for (std::size_t i = 0; i < command.params().size() && ok; ++i) {
            const SqlValue& v = command.params()[i].value;
            BoundValue& b = values[i];
            if (std::holds_alternative<std::string>(v)) {
                const std::size_t units = b.wide.size();
                b.indicator = static_cast<SQLLEN>(units * sizeof(SQLWCHAR));
                b.wide.push_back(u'\0');  // a readable buffer even when empty
                ok = bind(SQL_C_WCHAR, units > kMaxShortText ? SQL_WLONGVARCHAR : SQL_WVARCHAR,
                          std::max<std::size_t>(units, 1), 0, Wide(b.wide),
                          static_cast<SQLLEN>(b.wide.size() * sizeof(SQLWCHAR)), &b.indicator);
            } else if (def.params[i] == ParamType::Real) {
                const auto* real = std::get_if<double>(&v);
                b.real = real != nullptr ? *real : static_cast<double>(std::get<std::int64_t>(v));
                b.indicator = sizeof(double);
                ok = bind(SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, &b.real, 0, &b.indicator);
            } else {
                b.integer = static_cast<SQLINTEGER>(std::get<std::int64_t>(v));  // checked: 32 bits
                b.indicator = sizeof(SQLINTEGER);
                ok = bind(SQL_C_SLONG, SQL_INTEGER, 10, 0, &b.integer, 0, &b.indicator);
            }
        }
        if (ok && call.extras) {
            BoundValue& at = values[command.params().size()];
            BoundValue& id = values[command.params().size() + 1];
            if (m_dialect == OdbcDialect::Postgresql) {
                // As text with its zone: a timestamp without one would be
                // read in the session's time zone.
                at.narrow = FormatUtcMillis(command.builtAt()) + "+00";
                at.indicator = static_cast<SQLLEN>(at.narrow.size());
                ok = bind(SQL_C_CHAR, SQL_VARCHAR, at.narrow.size(), 0, at.narrow.data(),
                          at.indicator, &at.indicator);
            } else {
                at.stamp = ToTimestamp(command.builtAt());  // UTC
                at.indicator = sizeof(at.stamp);
                ok = bind(SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 23, 3, &at.stamp, 0,
                          &at.indicator);
            }
            if (ok) {
                id.narrow = command.id().isNil() ? std::string() : command.id().text();
                id.indicator =
                    command.id().isNil() ? SQL_NULL_DATA : static_cast<SQLLEN>(id.narrow.size());
                id.narrow.push_back('\0');
                ok = bind(SQL_C_CHAR, SQL_VARCHAR, 36, 0, id.narrow.data(),
                          static_cast<SQLLEN>(id.narrow.size()), &id.indicator);
            }
        }
        if (!ok) {
            ExecResult result = Failed(SQL_HANDLE_STMT, stmt);
            result.error = "cannot bind the parameters: " + result.error;
            return result;
        }
        return std::nullopt;
    }

    // Walks every result of an executed call: the procedure's answer row, or
    // the counts of affected records. An error may come with any result.
    ExecResult Collect(SQLHSTMT stmt, SQLRETURN rc, bool appliedFlag) {
        if (!Ok(rc) && rc != SQL_NO_DATA) {
            return Failed(SQL_HANDLE_STMT, stmt);
        }
        std::int64_t counted = 0;
        bool countKnown = rc == SQL_NO_DATA;  // a first statement that changed nothing
        std::optional<std::int64_t> flag;
        while (true) {
            SQLSMALLINT columns = 0;
            if (rc == SQL_NO_DATA) {
                rc = SQL_SUCCESS;  // no result to look at; there may be more
            } else if (SQLNumResultCols(stmt, &columns); columns > 0) {
                if (appliedFlag && !flag) {
                    const SQLRETURN fetched = SQLFetch(stmt);
                    if (Ok(fetched)) {
                        SQLBIGINT value = 0;
                        SQLLEN indicator = 0;
                        if (Ok(SQLGetData(stmt, 1, SQL_C_SBIGINT, &value, 0, &indicator)) &&
                            indicator != SQL_NULL_DATA) {
                            flag = value;
                        }
                    } else if (fetched != SQL_NO_DATA) {
                        return Failed(SQL_HANDLE_STMT, stmt);
                    }
                }
            } else {
                SQLLEN rows = -1;
                if (Ok(SQLRowCount(stmt, &rows)) && rows >= 0) {
                    counted += rows;
                    countKnown = true;
                }
            }
            const SQLRETURN more = SQLMoreResults(stmt);
            if (more == SQL_NO_DATA) {
                break;
            }
            if (!Ok(more)) {
                return Failed(SQL_HANDLE_STMT, stmt);
            }
        }
        ExecResult result;
        if (flag) {
            result.rows = *flag;
            result.status = *flag > 0 ? ExecStatus::Applied : ExecStatus::NoRows;
        } else if (countKnown && counted == 0) {
            result.status = ExecStatus::NoRows;
        } else {
            // Records were changed, or the procedure does not tell (SET
            // NOCOUNT ON): it ran, which is what the caller needs to know.
            result.rows = counted;
            result.status = ExecStatus::Applied;
        }
        return result;
    }

    ExecResult EndTransaction(SQLSMALLINT completion) {
        if (!IsOpen()) {
            return {ExecStatus::ConnectionLost, 0, "the connection is not open"};
        }
        ExecResult result{ExecStatus::Applied, 0, {}};
        if (!Ok(SQLEndTran(SQL_HANDLE_DBC, m_dbc, completion))) {
            result = Failed(SQL_HANDLE_DBC, m_dbc);
            if (!IsOpen()) {
                return result;
            }
            // Turning autocommit on would commit what is left: drop it.
            SQLEndTran(SQL_HANDLE_DBC, m_dbc, SQL_ROLLBACK);
        }
        SQLSetConnectAttrW(m_dbc, SQL_ATTR_AUTOCOMMIT,
                           reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
        m_inTransaction = false;
        return result;
    }

    std::optional<long long> QueryInteger(const std::string& sql, std::string& error) {
        SQLHSTMT stmt = NewStatement();
        if (stmt == SQL_NULL_HSTMT) {
            error = Failed(SQL_HANDLE_DBC, m_dbc).error;
            return std::nullopt;
        }
        std::u16string wide = FromAscii(sql);
        std::optional<long long> value;
        if (Ok(SQLExecDirectW(stmt, Wide(wide), static_cast<SQLINTEGER>(wide.size()))) &&
            Ok(SQLFetch(stmt))) {
            SQLBIGINT v = 0;
            SQLLEN indicator = 0;
            if (Ok(SQLGetData(stmt, 1, SQL_C_SBIGINT, &v, 0, &indicator)) &&
                indicator != SQL_NULL_DATA) {
                value = v;
            }
        }
        if (!value) {
            const auto records = ReadOdbcDiagnostics(SQL_HANDLE_STMT, stmt);
            error = DescribeOdbcDiagnostics(records);
            const OdbcDiagnostic* primary = PrimaryOdbcDiagnostic(records);
            if ((primary != nullptr &&
                 ClassifyOdbcError(primary->state, primary->native, m_dialect) ==
                     ExecStatus::ConnectionLost) ||
                ConnectionDead()) {
                SQLFreeHandle(SQL_HANDLE_STMT, stmt);
                Close();
                return std::nullopt;
            }
        }
        SQLFreeHandle(SQL_HANDLE_STMT, stmt);
        return value;
    }

    SQLHENV m_env;
    SQLHDBC m_dbc;
    int m_timeout;
    OdbcDialect m_dialect = OdbcDialect::Other;
    std::vector<bool> m_extras;  // per known procedure
    std::vector<std::pair<std::string, SQLHSTMT>> m_statements;
    bool m_inTransaction = false;
    CancelToken* m_cancel;
};

}  // namespace

BackendOpenResult OpenOdbcBackend(std::string_view connectionString, int timeoutSeconds,
                                  CancelToken* cancel) {
    std::string odbc(connectionString);
    if (OleDbProviderOf(connectionString)) {
        auto translated = TranslateOleDbConnectionString(connectionString);
        if (!translated.target) {
            return {nullptr, "cannot use the OLE DB connection string: " + translated.error};
        }
        SqlServerTarget& target = *translated.target;
        if (target.port == 0) {
            const auto lookup = LookUpInstancePort(target.host, target.instance, timeoutSeconds);
            if (lookup.port == 0) {
                return {nullptr, "cannot find the SQL Server instance " + target.host + "\\" +
                                     target.instance + ": " + lookup.error};
            }
            target.port = lookup.port;
        }
        odbc = FreeTdsConnectionString(target);
    }
    if (odbc.find('\0') != std::string::npos) {
        return {nullptr, "the connection string contains a NUL character"};
    }
    std::u16string wide;
    if (!Utf8ToUtf16(odbc, wide)) {
        return {nullptr, "the connection string is not valid UTF-8"};
    }

    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
        return {nullptr, "cannot start the ODBC driver manager"};
    }
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!Ok(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        return {nullptr, "cannot create an ODBC connection"};
    }
    if (timeoutSeconds > 0) {
        const auto seconds = reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeoutSeconds));
        SQLSetConnectAttrW(dbc, SQL_ATTR_LOGIN_TIMEOUT, seconds, 0);
        SQLSetConnectAttrW(dbc, SQL_ATTR_CONNECTION_TIMEOUT, seconds, 0);
    }
    // Drivers may switch the process's locale while they connect (the
    // PostgreSQL one frees and restores setlocale's string), which is not
    // safe from two threads at once: connections open one at a time.
    static std::mutex connecting;
    std::unique_lock connectingLock(connecting);
    const SQLRETURN rc =
        SQLDriverConnectW(dbc, nullptr, Wide(wide), static_cast<SQLSMALLINT>(wide.size()), nullptr,
                          0, nullptr, SQL_DRIVER_NOPROMPT);
    connectingLock.unlock();
    if (!Ok(rc)) {
        const auto records = ReadOdbcDiagnostics(SQL_HANDLE_DBC, dbc);
        std::string error = "cannot connect through ODBC (" + text::MaskPasswords(odbc) +
                            "): " + DescribeOdbcDiagnostics(records);
        if (NamesAMissingOdbcDriver(records)) {
            error +=
                "; the driver or data source is not registered with unixODBC (odbcinst -q -d "
                "lists the drivers; FreeTDS comes with the tdsodbc package, registered by "
                "scripts/bootstrap)";
        }
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, env);
        return {nullptr, error};
    }
    auto backend = std::make_unique<OdbcBackend>(env, dbc, timeoutSeconds, cancel);
    if (std::string error = backend->Setup(); !error.empty()) {
        return {nullptr, error};
    }
    return {std::move(backend), {}};
}

}  // namespace db
