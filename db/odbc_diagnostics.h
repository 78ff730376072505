#pragma once
// The diagnostic records ODBC keeps on a handle: reading them, and telling
// from them what went wrong.

#include <sql.h>

#include <string>
#include <vector>

namespace db {

// One diagnostic record of an ODBC handle.
struct OdbcDiagnostic {
    std::string state;  // SQLSTATE, five characters
    long native = 0;    // the driver's or server's own error number
    std::string message;
};

// The records of the last call on `handle` (at most 20).
std::vector<OdbcDiagnostic> ReadOdbcDiagnostics(SQLSMALLINT type, SQLHANDLE handle);

// "message (SQLSTATE xxxxx); ...", each message on one line.
std::string DescribeOdbcDiagnostics(const std::vector<OdbcDiagnostic>& records);

// The record that tells what happened: the first that is not a warning.
const OdbcDiagnostic* PrimaryOdbcDiagnostic(const std::vector<OdbcDiagnostic>& records);

// True when the driver manager could not find the driver or data source.
bool NamesAMissingOdbcDriver(const std::vector<OdbcDiagnostic>& records);

}  // namespace db
