#pragma once
// Connection strings of Windows sites name SQL Server through an OLE DB
// provider ("Provider=SQLOLEDB;Server=…;Initial Catalog=…;User ID=…;
// Password=…"). Here the same server is reached through unixODBC and
// FreeTDS; these pure functions turn the one string into the other.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection_string.h"

namespace db {

// The value of the string's Provider key (ODBC grammar), if it has one.
std::optional<std::string> OleDbProviderOf(std::string_view connectionString);

// SQLOLEDB, SQLNCLI, SQLNCLI10, SQLNCLI11, MSOLEDBSQL, MSOLEDBSQL19, any case,
// with or without a ".N" version suffix.
bool IsSqlServerOleDbProvider(std::string_view provider);

inline constexpr int kSqlServerDefaultPort = 1433;

// A SQL Server and the login to it, as an OLE DB string names them.
struct SqlServerTarget {
    std::string host;      // never empty
    std::string instance;  // a named instance; empty for the default instance
    int port = 0;          // 0 only with an instance: its port is to be asked
                           // of the server's browser service (UDP 1434)
    std::string database;  // empty: the login's default database
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::vector<ConnectionStringPair> extra;  // further FreeTDS keys, in order

    friend bool operator==(const SqlServerTarget&, const SqlServerTarget&) = default;
};

struct OleDbTranslation {
    std::optional<SqlServerTarget> target;
    std::string error;  // why there is no target
};

// Reads an OLE DB string for one of the SQL Server providers. Refuses, with
// a reason: another provider, a Windows login (Integrated Security), named
// pipes or shared memory, a port that is not 1..65535, a key it does not
// know (a typo must not silently connect elsewhere).
OleDbTranslation TranslateOleDbConnectionString(std::string_view oledb);

// "Driver=FreeTDS;Server=HOST;Port=PORT;Database=DB;UID=USER;PWD=PASSWORD;
// TDS_Version=7.4", then the extra keys. A named instance whose port is not
// known yet gives "Server=HOST\INSTANCE" and no Port. Absent parts are left
// out.
std::string FreeTdsConnectionString(const SqlServerTarget& target);

}  // namespace db
