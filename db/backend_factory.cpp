#include <libpq-fe.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <climits>
#include <system_error>

#include "db/backend.h"
#include "db/connection_string.h"
#include "text/ascii.h"

namespace db {
namespace {

// "Driver={...};Server=...", "DSN=...", "Provider=SQLOLEDB;..." name an ODBC
// or OLE DB source: some key of the ';'-separated list says so. A key inside
// a braced value ("Server={a;Driver=b}") is part of that value, not a key.
bool LooksLikeOdbc(std::string_view s) {
    for (const auto& pair : ParseConnectionString(s, ValueQuoting::Braces).pairs) {
        for (std::string_view k : {"driver", "dsn", "provider", "filedsn"}) {
            if (text::EqualsIgnoringCase(pair.key, k)) {
                return true;
            }
        }
    }
    return false;
}

// libpq "key=value ..." text naming a server or a database.
bool LooksLikeLibpqKeywords(std::string_view s) {
    const std::string text(s);
    char* err = nullptr;
    PQconninfoOption* opts = PQconninfoParse(text.c_str(), &err);
    if (err != nullptr) {
        PQfreemem(err);
    }
    if (opts == nullptr) {
        return false;
    }
    bool found = false;
    for (PQconninfoOption* o = opts; o->keyword != nullptr; ++o) {
        if (o->val == nullptr) {
            continue;
        }
        const std::string_view k = o->keyword;
        if (k == "host" || k == "hostaddr" || k == "dbname" || k == "service") {
            found = true;
        }
    }
    PQconninfoFree(opts);
    return found;
}

}  // namespace

BackendKind ClassifyConnectionString(std::string_view connectionString) {
    const std::string_view s = text::TrimAscii(connectionString);
    if (s.empty()) {
        return BackendKind::Empty;
    }
    if (text::StartsWithIgnoringCase(s, "sqlite:")) {
        return BackendKind::Sqlite;
    }
    if (text::StartsWithIgnoringCase(s, "postgresql://") ||
        text::StartsWithIgnoringCase(s, "postgres://")) {
        return BackendKind::Postgresql;
    }
    if (LooksLikeOdbc(s)) {
        return BackendKind::Odbc;
    }
    if (s.find('\0') == std::string_view::npos && LooksLikeLibpqKeywords(s)) {
        return BackendKind::Postgresql;
    }
    return BackendKind::Unknown;
}

BackendOpenResult OpenBackend(std::string_view connectionString, int timeoutSeconds,
                              const std::filesystem::path& baseDir, CancelToken* cancel) {
    switch (ClassifyConnectionString(connectionString)) {
        case BackendKind::Empty:
            return {nullptr, "the connection string is empty"};
        case BackendKind::Sqlite:
            return OpenSqliteBackend(text::TrimAscii(connectionString), timeoutSeconds, baseDir,
                                     cancel);
        case BackendKind::Postgresql:
            return OpenPostgresqlBackend(text::TrimAscii(connectionString), timeoutSeconds, cancel);
        case BackendKind::Odbc:
            return OpenOdbcBackend(text::TrimAscii(connectionString), timeoutSeconds, cancel);
        case BackendKind::Unknown:
            break;
    }
    return {nullptr,
            "unrecognised connection string; expected sqlite:PATH, postgresql://..., "
            "PostgreSQL key=value text with host= or dbname=, an ODBC string (Driver=... or "
            "DSN=...) or an OLE DB string for SQL Server (Provider=SQLOLEDB;...)"};
}

std::filesystem::path ExecutableDirectory() {
    std::array<char, PATH_MAX + 1> buf{};
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0) {
        return {};
    }
    return std::filesystem::path(std::string(buf.data(), static_cast<std::size_t>(n)))
        .parent_path();
}

}  // namespace db
