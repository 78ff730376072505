#pragma once
// What the ODBC backend sends to a driver, and how it reads a failure; the
// backend itself is opened through db::OpenBackend.

#include <optional>
#include <string>
#include <string_view>

#include "db/exec_result.h"
#include "db/procedures.h"
#include "db/sql_command.h"

namespace db {

// The SQL a connection speaks, told by the DBMS name the driver reports.
enum class OdbcDialect {
    SqlServer,   // T-SQL: EXEC with the site's own parameter names
    Postgresql,  // CALL of the procedures of db/schema/postgresql.sql
    Other,       // the ODBC call escape {CALL ...}
};

OdbcDialect DialectOfDbms(std::string_view dbmsName);

// How one command is called: the statement text with a '?' for each bound
// parameter, in this order: the command's parameters, then, with `extras`,
// the received time and the statement id.
struct OdbcCall {
    std::string text;
    bool extras = false;
    // The procedure answers with one row whose first column says whether it
    // applied the statement (1) or had applied it before (0); otherwise the
    // drivers' counts of affected records decide.
    bool appliedFlag = false;
};

// On SQL Server the call follows the command's own form, so that a site's
// procedures run unchanged:
//   EXEC EVENT_UPDATE @DeviceName=?,@EventTypeID=?
//   EXEC GPS_ADD ?,?,?,?,?,?
// and with extras ",@ReceivedAt=?,@StatementID=?" is appended. PostgreSQL
// always gets extras. Nothing, with `error`, when a parameter name is not a
// plain name.
std::optional<OdbcCall> OdbcCallFor(OdbcDialect dialect, const ProcedureDef& procedure,
                                    const SqlCommand& command, bool extras, std::string& error);

// What a failure means for the worker, from the SQLSTATE the driver reported
// and its native error number. SQLSTATE class 08 (and the server-shutdown
// states PostgreSQL's driver passes on) is a lost connection; a time-out,
// a deadlock or a lack of resources is for now; anything else is a refusal.
ExecStatus ClassifyOdbcError(std::string_view sqlState, long nativeError, OdbcDialect dialect);

}  // namespace db
