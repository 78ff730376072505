#include "db/oledb_translation.h"

#include <array>
#include <charconv>

#include "text/ascii.h"

namespace db {
namespace {

// "User  ID" and "user id" are the same key.
std::string NormalizeKey(std::string_view key) {
    std::string out;
    bool blank = false;
    for (char c : text::TrimAscii(key)) {
        if (text::IsAsciiSpace(c)) {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) {
            out += ' ';
        }
        blank = false;
        out += text::AsciiLower(c);
    }
    return out;
}

template <std::size_t N>
bool OneOf(const std::string& key, const std::array<std::string_view, N>& names) {
    for (std::string_view n : names) {
        if (key == n) {
            return true;
        }
    }
    return false;
}

constexpr std::array<std::string_view, 5> kServerKeys{"data source", "server", "address", "addr",
                                                      "network address"};
constexpr std::array<std::string_view, 2> kDatabaseKeys{"initial catalog", "database"};
constexpr std::array<std::string_view, 3> kUserKeys{"user id", "uid", "user"};
constexpr std::array<std::string_view, 2> kPasswordKeys{"password", "pwd"};
constexpr std::array<std::string_view, 2> kWindowsLoginKeys{"integrated security",
                                                            "trusted_connection"};
constexpr std::array<std::string_view, 2> kEncryptKeys{"encrypt", "use encryption for data"};
// Keys with a FreeTDS counterpart: OLE DB name -> FreeTDS name.
constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kPassedKeys{{
    {"application name", "APP"},
    {"app", "APP"},
    {"workstation id", "WSID"},
    {"wsid", "WSID"},
    {"current language", "Language"},
    {"language", "Language"},
}};
// Keys that change nothing that matters here: client-side tuning of the
// Windows providers, and time-outs (the time-out of the open governs).
constexpr std::array<std::string_view, 24> kIgnoredKeys{
    "persist security info",
    "auto translate",
    "packet size",
    "use procedure for prepare",
    "connect timeout",
    "connection timeout",
    "general timeout",
    "timeout",
    "network library",
    "network",
    "trustservercertificate",
    "trust server certificate",
    "multipleactiveresultsets",
    "mars connection",
    "datatypecompatibility",
    "ole db services",
    "tag with column collation when possible",
    "applicationintent",
    "application intent",
    "multisubnetfailover",
    "failover partner",
    "serverspn",
    "server spn",
    "locale identifier",
};

struct ServerParts {
    std::string host;
    std::string instance;
    int port = 0;
};

bool ParsePort(std::string_view text, int& port) {
    text = text::TrimAscii(text);
    int value = 0;
    const auto* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, value);
    if (text.empty() || r.ec != std::errc{} || r.ptr != end || value < 1 || value > 65535) {
        return false;
    }
    port = value;
    return true;
}

// "host", "host,port", "host\instance", "host\instance,port", "tcp:host,port",
// "(local)", ".".
bool ParseServer(std::string_view value, ServerParts& parts, std::string& error) {
    std::string_view v = text::TrimAscii(value);
    if (text::StartsWithIgnoringCase(v, "tcp:")) {
        v = text::TrimAscii(v.substr(4));
    }
    for (std::string_view prefix : {"np:", "lpc:", "admin:", "via:", "\\\\"}) {
        if (text::StartsWithIgnoringCase(v, prefix)) {
            error = "the server '" + std::string(value) +
                    "' is a named pipe, shared memory or admin connection, which only works on "
                    "Windows; name the server's host and TCP port instead (Server=host,1433)";
            return false;
        }
    }
    parts = {};
    if (const auto comma = v.rfind(','); comma != std::string_view::npos) {
        if (!ParsePort(v.substr(comma + 1), parts.port)) {
            error = "the port in the server '" + std::string(value) +
                    "' must be a number from 1 to 65535";
            return false;
        }
        v = text::TrimAscii(v.substr(0, comma));
    }
    if (const auto bs = v.find('\\'); bs != std::string_view::npos) {
        parts.instance = std::string(text::TrimAscii(v.substr(bs + 1)));
        v = text::TrimAscii(v.substr(0, bs));
        if (text::AsciiLower(parts.instance) == "mssqlserver") {
            parts.instance.clear();  // the default instance's own name
        }
    }
    const std::string host = text::AsciiLower(v);
    if (host == "(localdb)") {
        error = "LocalDB ('" + std::string(value) + "') exists only on Windows";
        return false;
    }
    parts.host = (host.empty() || host == "." || host == "(local)") ? "127.0.0.1" : std::string(v);
    if (parts.port == 0 && parts.instance.empty()) {
        parts.port = kSqlServerDefaultPort;
    }
    return true;
}

void SetExtra(std::vector<ConnectionStringPair>& extra, std::string_view key, std::string value) {
    for (auto& p : extra) {
        if (p.key == key) {
            p.value = std::move(value);
            return;
        }
    }
    extra.push_back({std::string(key), std::move(value)});
}

}  // namespace

std::optional<std::string> OleDbProviderOf(std::string_view connectionString) {
    for (auto& p : ParseConnectionString(connectionString, ValueQuoting::Braces).pairs) {
        if (NormalizeKey(p.key) == "provider") {
            return std::move(p.value);
        }
    }
    return std::nullopt;
}

bool IsSqlServerOleDbProvider(std::string_view provider) {
    std::string p = text::AsciiLower(text::TrimAscii(provider));
    // A version suffix: "SQLOLEDB.1", "MSOLEDBSQL.19".
    if (const auto dot = p.find('.'); dot != std::string::npos) {
        const std::string_view suffix = std::string_view(p).substr(dot + 1);
        if (suffix.empty() || suffix.find_first_not_of("0123456789") != std::string_view::npos) {
            return false;
        }
        p.resize(dot);
    }
    auto digitsAfter = [&](std::string_view stem) {
        return p.size() >= stem.size() && p.compare(0, stem.size(), stem) == 0 &&
               p.find_first_not_of("0123456789", stem.size()) == std::string::npos;
    };
    return p == "sqloledb" || digitsAfter("sqlncli") || digitsAfter("msoledbsql");
}

OleDbTranslation TranslateOleDbConnectionString(std::string_view oledb) {
    OleDbTranslation result;
    auto parse = ParseConnectionString(oledb, ValueQuoting::Quotes);
    if (!parse.error.empty()) {
        result.error = "cannot read the OLE DB connection string: " + parse.error;
        return result;
    }
    std::optional<std::string> provider;
    for (const auto& pair : parse.pairs) {
        if (NormalizeKey(pair.key) == "provider") {
            provider = pair.value;
        }
    }
    if (!provider) {
        result.error = "the string names no Provider";
        return result;
    }
    if (!IsSqlServerOleDbProvider(*provider)) {
        result.error =
            "the OLE DB provider '" + *provider +
            "' has no counterpart here; the SQL Server providers (SQLOLEDB, SQLNCLI, MSOLEDBSQL) "
            "are translated, anything else needs an ODBC string (Driver=... or DSN=...)";
        return result;
    }

    SqlServerTarget target;
    std::optional<ServerParts> server;
    for (auto& pair : parse.pairs) {
        const std::string key = NormalizeKey(pair.key);
        std::string& value = pair.value;
        if (key == "provider") {
            continue;
        } else if (OneOf(key, kServerKeys)) {
            ServerParts parts;
            if (!ParseServer(value, parts, result.error)) {
                return result;
            }
            server = parts;
        } else if (OneOf(key, kDatabaseKeys)) {
            target.database = std::move(value);
        } else if (OneOf(key, kUserKeys)) {
            target.user = std::move(value);
        } else if (OneOf(key, kPasswordKeys)) {
            target.password = std::move(value);
        } else if (OneOf(key, kWindowsLoginKeys)) {
            const std::string v = text::AsciiLower(value);
            if (v == "sspi" || v == "true" || v == "yes") {
                result.error =
                    "'" + pair.key + "=" + value +
                    "' asks for a Windows login, which does not carry over to this host; give "
                    "User ID= and Password= of a SQL Server login instead";
                return result;
            }
            if (v != "false" && v != "no") {
                result.error = "'" + pair.key + "' must be SSPI, true, yes, false or no";
                return result;
            }
        } else if (OneOf(key, kEncryptKeys)) {
            const std::string v = text::AsciiLower(value);
            if (v == "yes" || v == "true" || v == "mandatory" || v == "strict") {
                SetExtra(target.extra, "Encryption", "require");
            } else if (v != "no" && v != "false" && v != "optional") {
                result.error = "'" + pair.key +
                               "' must be yes, true, mandatory, strict, no, "
                               "false or optional";
                return result;
            }
        } else if (OneOf(key, kIgnoredKeys)) {
            continue;
        } else {
            bool passed = false;
            for (const auto& [from, to] : kPassedKeys) {
                if (key == from) {
                    SetExtra(target.extra, to, std::move(value));
                    passed = true;
                    break;
                }
            }
            if (!passed) {
                result.error = "the key '" + pair.key +
                               "' is unknown here (a misspelt key would connect elsewhere); "
                               "remove it, or write an ODBC string (Driver=FreeTDS;...)";
                return result;
            }
        }
    }
    if (!server) {
        ServerParts local;
        ParseServer("", local, result.error);  // the local default instance, as on Windows
        server = local;
    }
    target.host = std::move(server->host);
    target.instance = std::move(server->instance);
    target.port = server->port;
    result.target = std::move(target);
    return result;
}

std::string FreeTdsConnectionString(const SqlServerTarget& target) {
    std::string out = "Driver=FreeTDS;Server=";
    if (target.port == 0 && !target.instance.empty()) {
        out += OdbcQuote(target.host + "\\" + target.instance);
    } else {
        out += OdbcQuote(target.host);
        out += ";Port=" + std::to_string(target.port);
    }
    if (!target.database.empty()) {
        out += ";Database=" + OdbcQuote(target.database);
    }
    if (target.user) {
        out += ";UID=" + OdbcQuote(*target.user);
    }
    if (target.password) {
        out += ";PWD=" + OdbcQuote(*target.password);
    }
    out += ";TDS_Version=7.4";
    for (const auto& p : target.extra) {
        out += ";" + p.key + "=" + OdbcQuote(p.value);
    }
    return out;
}

}  // namespace db
