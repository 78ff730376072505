#include "db/odbc_dialect.h"

#include "text/ascii.h"

namespace db {
namespace {

bool IsPlainName(std::string_view name) {
    if (name.empty() || (name[0] >= '0' && name[0] <= '9')) {
        return false;
    }
    for (char c : name) {
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace

OdbcDialect DialectOfDbms(std::string_view dbmsName) {
    const std::string lower = text::AsciiLower(dbmsName);
    if (lower.find("sql server") != std::string::npos) {
        return OdbcDialect::SqlServer;
    }
    if (lower.find("postgresql") != std::string::npos) {
        return OdbcDialect::Postgresql;
    }
    return OdbcDialect::Other;
}

std::optional<OdbcCall> OdbcCallFor(OdbcDialect dialect, const ProcedureDef& procedure,
                                    const SqlCommand& command, bool extras, std::string& error) {
    OdbcCall call;
    const std::size_t count = command.params().size();
    switch (dialect) {
        case OdbcDialect::SqlServer: {
            call.extras = extras;
            call.appliedFlag = extras;
            call.text = "EXEC " + std::string(procedure.name);
            for (std::size_t i = 0; i < count; ++i) {
                const std::string& name = command.params()[i].name;
                call.text += i == 0 ? ' ' : ',';
                if (!name.empty()) {
                    if (!IsPlainName(name)) {
                        error = "the parameter name '" + name + "' is not a plain name";
                        return std::nullopt;
                    }
                    call.text += "@" + name + "=";
                }
                call.text += '?';
            }
            if (extras) {
                call.text += count == 0 ? " " : ",";
                call.text += "@ReceivedAt=?,@StatementID=?";
            }
            return call;
        }
        case OdbcDialect::Postgresql: {
            call.extras = true;
            call.appliedFlag = true;
            call.text = "CALL " + std::string(procedure.sqlName) + "(";
            for (ParamType t : procedure.params) {
                call.text += t == ParamType::Text   ? "CAST(? AS text), "
                             : t == ParamType::Real ? "CAST(? AS double precision), "
                                                    : "CAST(? AS integer), ";
            }
            call.text += "CAST(? AS timestamptz), CAST(? AS uuid), NULL)";
            return call;
        }
        case OdbcDialect::Other:
            call.text = "{CALL " + std::string(procedure.name) + "(";
            for (std::size_t i = 0; i < count; ++i) {
                call.text += i == 0 ? "?" : ",?";
            }
            call.text += ")}";
            return call;
    }
    error = "unknown dialect";
    return std::nullopt;
}

ExecStatus ClassifyOdbcError(std::string_view sqlState, long nativeError, OdbcDialect dialect) {
    if (sqlState.size() != 5) {
        return ExecStatus::ConnectionLost;  // no diagnosis: reconnect to be sure
    }
    const std::string_view cls = sqlState.substr(0, 2);
    // 57P0x: PostgreSQL shutting down or restarting; HYT01: the connection's
    // time-out; 40003: the statement's outcome is unknown.
    if (cls == "08" || sqlState == "57P01" || sqlState == "57P02" || sqlState == "57P03" ||
        sqlState == "HYT01" || sqlState == "40003") {
        return ExecStatus::ConnectionLost;
    }
    // Time-outs and cancels, deadlocks and serialization failures (class 40),
    // and PostgreSQL's out of resources (53), system errors (58) and lock
    // time-out (55P03).
    if (sqlState == "HYT00" || sqlState == "HY008" || sqlState == "57014" || sqlState == "55P03" ||
        cls == "40" || cls == "53" || cls == "58") {
        return ExecStatus::Transient;
    }
    if (dialect == OdbcDialect::SqlServer) {
        switch (nativeError) {
            case 1205:  // deadlock victim
            case 1222:  // lock request time-out
            case 1204:  // out of locks
            case 701:   // out of memory
            case 8645:  // time-out waiting for memory
            case 1105:  // filegroup full
            case 9002:  // transaction log full
                return ExecStatus::Transient;
            default:
                break;
        }
    }
    return ExecStatus::Rejected;
}

}  // namespace db
