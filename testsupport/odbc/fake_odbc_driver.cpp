// A scripted ODBC driver for tests of what reaches a driver that reports
// itself as SQL Server (no such server can run here). Loaded by unixODBC
// through "Driver=/path/to/the/library". Keys of the connection string:
//   Journal=FILE     every call that matters is appended to FILE, one line each
//   Dbms=NAME        the DBMS name reported (default "Microsoft SQL Server")
//   Extras=N         answer to the backend's look at the procedures' parameters
//   Rows=N           affected-records count of a procedure call (default 1)
//   NoData=1         a procedure call answers SQL_NO_DATA (changed nothing)
//   Applied=N        the answer row of a procedure with extras (default 1)
//   Fail=STATE[:N]   every procedure call fails with this SQLSTATE and native error
//   FailLate=STATE   the call's first result is fine, the next one fails
//   Dead=1           after a failure, the connection reports itself dead
//   FailConnect=STATE  the connect fails
#include <sql.h>
#include <sqlext.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/utf16.h"

namespace {

struct Error {
    std::string state;
    long native = 0;
    std::string message;
};

struct Handle {
    std::optional<Error> error;
};

struct Env : Handle {};

struct Dbc : Handle {
    std::map<std::string, std::string> keys;
    bool dead = false;
    std::string Key(const std::string& k, const std::string& fallback = {}) const {
        const auto it = keys.find(k);
        return it == keys.end() ? fallback : it->second;
    }
    void Journal(const std::string& line) const {
        const std::string file = Key("Journal");
        if (!file.empty()) {
            std::ofstream(file, std::ios::app) << line << '\n';
        }
    }
};

struct Param {
    SQLSMALLINT cType = 0;
    SQLSMALLINT sqlType = 0;
    SQLPOINTER data = nullptr;
    SQLLEN* indicator = nullptr;
};

struct Result {
    bool rowset = false;
    long long value = 0;           // the row's value, or the count of affected records
    std::optional<Error> failure;  // reported when this result is reached
};

struct Stmt : Handle {
    Dbc* dbc = nullptr;
    std::string text;
    std::map<int, Param> params;
    std::vector<Result> results;
    std::size_t current = 0;
    bool fetched = false;
    int descriptors[4]{};  // dummies for the driver manager
};

SQLRETURN Fail(Handle* h, const std::string& state, const std::string& message, long native = 0) {
    h->error = Error{state, native, "[Fake][SQL Server]" + message};
    return SQL_ERROR;
}

std::string Text(SQLCHAR* text, SQLINTEGER length) {
    if (text == nullptr) {
        return {};
    }
    const char* p = reinterpret_cast<const char*>(text);
    return length == SQL_NTS ? std::string(p) : std::string(p, static_cast<std::size_t>(length));
}

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

const char* CTypeName(SQLSMALLINT t) {
    switch (t) {
        case SQL_C_WCHAR:
            return "WCHAR";
        case SQL_C_CHAR:
            return "CHAR";
        case SQL_C_DOUBLE:
            return "DOUBLE";
        case SQL_C_SLONG:
            return "SLONG";
        case SQL_C_TYPE_TIMESTAMP:
            return "TIMESTAMP";
        default:
            return "?";
    }
}

const char* SqlTypeName(SQLSMALLINT t) {
    switch (t) {
        case SQL_WVARCHAR:
            return "WVARCHAR";
        case SQL_WLONGVARCHAR:
            return "WLONGVARCHAR";
        case SQL_VARCHAR:
            return "VARCHAR";
        case SQL_DOUBLE:
            return "DOUBLE";
        case SQL_INTEGER:
            return "INTEGER";
        case SQL_TYPE_TIMESTAMP:
            return "TIMESTAMP";
        default:
            return "?";
    }
}

std::string ValueText(const Param& p) {
    const SQLLEN ind = p.indicator != nullptr ? *p.indicator : 0;
    if (ind == SQL_NULL_DATA) {
        return "NULL";
    }
    switch (p.cType) {
        case SQL_C_WCHAR: {
            const auto* w = static_cast<const char16_t*>(p.data);
            std::size_t units = 0;
            if (ind == SQL_NTS) {
                while (w[units] != 0) {
                    ++units;
                }
            } else {
                units = static_cast<std::size_t>(ind) / 2;
            }
            return "'" + Escape(db::Utf16ToUtf8Lossy(std::u16string_view(w, units))) + "'";
        }
        case SQL_C_CHAR: {
            const auto* c = static_cast<const char*>(p.data);
            return "'" +
                   (ind == SQL_NTS ? std::string(c)
                                   : std::string(c, static_cast<std::size_t>(ind))) +
                   "'";
        }
        case SQL_C_DOUBLE: {
            char buf[64];
            const auto r =
                std::to_chars(buf, buf + sizeof buf, *static_cast<const double*>(p.data));
            return std::string(buf, r.ptr);
        }
        case SQL_C_SLONG:
            return std::to_string(*static_cast<const SQLINTEGER*>(p.data));
        case SQL_C_TYPE_TIMESTAMP: {
            const auto* ts = static_cast<const SQL_TIMESTAMP_STRUCT*>(p.data);
            char buf[64];
            std::snprintf(buf, sizeof buf, "%04d-%02u-%02u %02u:%02u:%02u.%09u", ts->year,
                          ts->month, ts->day, ts->hour, ts->minute, ts->second,
                          static_cast<unsigned>(ts->fraction));
            return buf;
        }
        default:
            return "?";
    }
}

std::optional<Error> ParseFailure(const std::string& spec, const std::string& message) {
    if (spec.empty()) {
        return std::nullopt;
    }
    Error e;
    const auto colon = spec.find(':');
    e.state = spec.substr(0, colon);
    if (colon != std::string::npos) {
        e.native = std::stol(spec.substr(colon + 1));
    }
    e.message = "[Fake][SQL Server]" + message;
    return e;
}

SQLRETURN Execute(Stmt* s) {
    Dbc& dbc = *s->dbc;
    s->error.reset();
    s->results.clear();
    s->current = 0;
    s->fetched = false;
    if (dbc.dead) {
        return Fail(s, "08S01", "Communication link failure");
    }
    if (s->text.find("sys.parameters") != std::string::npos) {
        dbc.Journal("probe " + s->text);
        s->results.push_back({true, std::stoll(dbc.Key("Extras", "0")), std::nullopt});
        return SQL_SUCCESS;
    }
    std::string line = "execute " + s->text;
    for (const auto& [n, p] : s->params) {
        line += " | " + std::to_string(n) + " " + CTypeName(p.cType) + "/" +
                SqlTypeName(p.sqlType) + " " + ValueText(p);
    }
    dbc.Journal(line);
    if (auto failure = ParseFailure(dbc.Key("Fail"), "the call failed")) {
        dbc.dead = dbc.Key("Dead") == "1";
        s->error = failure;
        return SQL_ERROR;
    }
    if (dbc.Key("NoData") == "1") {
        return SQL_NO_DATA;
    }
    if (s->text.find("@StatementID") != std::string::npos) {
        s->results.push_back({true, std::stoll(dbc.Key("Applied", "1")), std::nullopt});
    } else {
        s->results.push_back({false, std::stoll(dbc.Key("Rows", "1")), std::nullopt});
    }
    if (auto late = ParseFailure(dbc.Key("FailLate"), "a later statement failed")) {
        s->results.push_back({false, 0, late});
    }
    return SQL_SUCCESS;
}

}  // namespace

extern "C" {

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output) {
    switch (type) {
        case SQL_HANDLE_ENV:
            *output = new Env;
            return SQL_SUCCESS;
        case SQL_HANDLE_DBC:
            *output = new Dbc;
            return SQL_SUCCESS;
        case SQL_HANDLE_STMT: {
            auto* s = new Stmt;
            s->dbc = static_cast<Dbc*>(input);
            *output = s;
            return SQL_SUCCESS;
        }
        default:
            return SQL_ERROR;
    }
}

SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT type, SQLHANDLE handle) {
    switch (type) {
        case SQL_HANDLE_ENV:
            delete static_cast<Env*>(handle);
            return SQL_SUCCESS;
        case SQL_HANDLE_DBC:
            delete static_cast<Dbc*>(handle);
            return SQL_SUCCESS;
        case SQL_HANDLE_STMT:
            delete static_cast<Stmt*>(handle);
            return SQL_SUCCESS;
        default:
            return SQL_ERROR;
    }
}

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER) {
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV, SQLINTEGER, SQLPOINTER value, SQLINTEGER, SQLINTEGER*) {
    if (value != nullptr) {
        *static_cast<SQLINTEGER*>(value) = SQL_OV_ODBC3;
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER) {
    auto* dbc = static_cast<Dbc*>(h);
    const auto v = reinterpret_cast<SQLULEN>(value);
    if (attr == SQL_ATTR_LOGIN_TIMEOUT) {
        dbc->keys["#login_timeout"] = std::to_string(v);
    } else if (attr == SQL_ATTR_CONNECTION_TIMEOUT) {
        dbc->keys["#connection_timeout"] = std::to_string(v);
    } else if (attr == SQL_ATTR_AUTOCOMMIT) {
        dbc->Journal("autocommit " + std::to_string(v));
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER,
                                    SQLINTEGER*) {
    auto* dbc = static_cast<Dbc*>(h);
    if (attr == SQL_ATTR_CONNECTION_DEAD) {
        *static_cast<SQLUINTEGER*>(value) = dbc->dead ? SQL_CD_TRUE : SQL_CD_FALSE;
        return SQL_SUCCESS;
    }
    return Fail(dbc, "HY092", "attribute not supported");
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC h, SQLHWND, SQLCHAR* in, SQLSMALLINT inLength,
                                   SQLCHAR* out, SQLSMALLINT outMax, SQLSMALLINT* outLength,
                                   SQLUSMALLINT) {
    auto* dbc = static_cast<Dbc*>(h);
    const std::string text = Text(in, inLength);
    std::size_t i = 0;
    while (i < text.size()) {
        const auto semi = text.find(';', i);
        const std::string item = text.substr(i, semi == std::string::npos ? semi : semi - i);
        const auto eq = item.find('=');
        if (eq != std::string::npos) {
            dbc->keys[item.substr(0, eq)] = item.substr(eq + 1);
        }
        if (semi == std::string::npos) {
            break;
        }
        i = semi + 1;
    }
    dbc->Journal("connect login_timeout=" + dbc->Key("#login_timeout", "none") +
                 " connection_timeout=" + dbc->Key("#connection_timeout", "none"));
    if (const std::string state = dbc->Key("FailConnect"); !state.empty()) {
        return Fail(dbc, state, "cannot connect");
    }
    if (out != nullptr && outMax > 0) {
        const auto n = std::min<std::size_t>(text.size(), static_cast<std::size_t>(outMax - 1));
        std::memcpy(out, text.data(), n);
        out[n] = 0;
    }
    if (outLength != nullptr) {
        *outLength = static_cast<SQLSMALLINT>(text.size());
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLDisconnect(SQLHDBC h) {
    static_cast<Dbc*>(h)->Journal("disconnect");
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetInfo(SQLHDBC h, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT max,
                             SQLSMALLINT* length) {
    auto* dbc = static_cast<Dbc*>(h);
    auto text = [&](const std::string& s) {
        if (value != nullptr && max > 0) {
            const auto n = std::min<std::size_t>(s.size(), static_cast<std::size_t>(max - 1));
            std::memcpy(value, s.data(), n);
            static_cast<char*>(value)[n] = 0;
        }
        if (length != nullptr) {
            *length = static_cast<SQLSMALLINT>(s.size());
        }
        return SQL_SUCCESS;
    };
    switch (type) {
        case SQL_DBMS_NAME:
            return text(dbc->Key("Dbms", "Microsoft SQL Server"));
        case SQL_DBMS_VER:
            return text("16.00.1000");
        case SQL_DRIVER_ODBC_VER:
            return text("03.52");
        case SQL_DRIVER_NAME:
            return text("fake");
        case SQL_CURSOR_COMMIT_BEHAVIOR:
        case SQL_CURSOR_ROLLBACK_BEHAVIOR:
        case SQL_TXN_CAPABLE:
            *static_cast<SQLUSMALLINT*>(value) =
                type == SQL_TXN_CAPABLE ? SQL_TC_ALL : SQL_CB_CLOSE;
            return SQL_SUCCESS;
        default:
            return Fail(dbc, "HY096", "information type not supported");
    }
}

SQLRETURN SQL_API SQLEndTran(SQLSMALLINT, SQLHANDLE h, SQLSMALLINT completion) {
    auto* dbc = static_cast<Dbc*>(h);
    dbc->Journal(completion == SQL_COMMIT ? "commit" : "rollback");
    return dbc->dead ? Fail(dbc, "08S01", "Communication link failure") : SQL_SUCCESS;
}

SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER) {
    auto* s = static_cast<Stmt*>(h);
    if (attr == SQL_ATTR_QUERY_TIMEOUT) {
        s->dbc->Journal("query_timeout " + std::to_string(reinterpret_cast<SQLULEN>(value)));
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetStmtAttr(SQLHSTMT h, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER,
                                 SQLINTEGER*) {
    auto* s = static_cast<Stmt*>(h);
    if (attr >= SQL_ATTR_APP_ROW_DESC && attr <= SQL_ATTR_IMP_PARAM_DESC) {
        *static_cast<SQLPOINTER*>(value) = &s->descriptors[attr - SQL_ATTR_APP_ROW_DESC];
        return SQL_SUCCESS;
    }
    return Fail(s, "HY092", "attribute not supported");
}

SQLRETURN SQL_API SQLPrepare(SQLHSTMT h, SQLCHAR* text, SQLINTEGER length) {
    auto* s = static_cast<Stmt*>(h);
    s->text = Text(text, length);
    s->dbc->Journal("prepare " + s->text);
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLBindParameter(SQLHSTMT h, SQLUSMALLINT number, SQLSMALLINT, SQLSMALLINT cType,
                                   SQLSMALLINT sqlType, SQLULEN, SQLSMALLINT, SQLPOINTER data,
                                   SQLLEN, SQLLEN* indicator) {
    static_cast<Stmt*>(h)->params[number] = {cType, sqlType, data, indicator};
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLExecute(SQLHSTMT h) {
    return Execute(static_cast<Stmt*>(h));
}

SQLRETURN SQL_API SQLExecDirect(SQLHSTMT h, SQLCHAR* text, SQLINTEGER length) {
    auto* s = static_cast<Stmt*>(h);
    s->text = Text(text, length);
    return Execute(s);
}

SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT h, SQLSMALLINT* count) {
    auto* s = static_cast<Stmt*>(h);
    *count = s->current < s->results.size() && s->results[s->current].rowset ? 1 : 0;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLFetch(SQLHSTMT h) {
    auto* s = static_cast<Stmt*>(h);
    if (s->current >= s->results.size() || !s->results[s->current].rowset || s->fetched) {
        return SQL_NO_DATA;
    }
    s->fetched = true;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetData(SQLHSTMT h, SQLUSMALLINT, SQLSMALLINT cType, SQLPOINTER value, SQLLEN,
                             SQLLEN* indicator) {
    auto* s = static_cast<Stmt*>(h);
    if (!s->fetched || cType != SQL_C_SBIGINT) {
        return Fail(s, "HY010", "no row or unexpected type");
    }
    *static_cast<SQLBIGINT*>(value) = s->results[s->current].value;
    if (indicator != nullptr) {
        *indicator = sizeof(SQLBIGINT);
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLRowCount(SQLHSTMT h, SQLLEN* count) {
    auto* s = static_cast<Stmt*>(h);
    const bool counted = s->current < s->results.size() && !s->results[s->current].rowset;
    *count = counted ? static_cast<SQLLEN>(s->results[s->current].value) : -1;
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLMoreResults(SQLHSTMT h) {
    auto* s = static_cast<Stmt*>(h);
    s->fetched = false;
    if (s->current + 1 >= s->results.size()) {
        s->current = s->results.size();
        return SQL_NO_DATA;
    }
    ++s->current;
    if (auto& failure = s->results[s->current].failure) {
        s->error = failure;
        return SQL_ERROR;
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT h, SQLUSMALLINT option) {
    auto* s = static_cast<Stmt*>(h);
    if (option == SQL_CLOSE) {
        s->results.clear();
        s->current = 0;
    } else if (option == SQL_RESET_PARAMS) {
        s->params.clear();
    } else if (option == SQL_DROP) {
        delete s;
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT h) {
    return SQLFreeStmt(h, SQL_CLOSE);
}

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT, SQLHANDLE h, SQLSMALLINT record, SQLCHAR* state,
                                SQLINTEGER* native, SQLCHAR* message, SQLSMALLINT max,
                                SQLSMALLINT* length) {
    auto* handle = static_cast<Handle*>(h);
    if (record != 1 || !handle->error) {
        return SQL_NO_DATA;
    }
    const Error& e = *handle->error;
    if (state != nullptr) {
        std::memcpy(state, e.state.c_str(), std::min<std::size_t>(e.state.size(), 5) + 1);
    }
    if (native != nullptr) {
        *native = static_cast<SQLINTEGER>(e.native);
    }
    if (message != nullptr && max > 0) {
        const auto n = std::min<std::size_t>(e.message.size(), static_cast<std::size_t>(max - 1));
        std::memcpy(message, e.message.data(), n);
        message[n] = 0;
    }
    if (length != nullptr) {
        *length = static_cast<SQLSMALLINT>(e.message.size());
    }
    return SQL_SUCCESS;
}

SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT, SQLHANDLE h, SQLSMALLINT record, SQLSMALLINT field,
                                  SQLPOINTER value, SQLSMALLINT, SQLSMALLINT*) {
    auto* handle = static_cast<Handle*>(h);
    if (record == 0 && field == SQL_DIAG_NUMBER) {
        *static_cast<SQLINTEGER*>(value) = handle->error ? 1 : 0;
        return SQL_SUCCESS;
    }
    return SQL_NO_DATA;
}

}  // extern "C"
