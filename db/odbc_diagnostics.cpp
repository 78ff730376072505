#include "db/odbc_diagnostics.h"

#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <array>

#include "db/utf16.h"

namespace db {
namespace {

// Drivers write messages over several lines, with tabs and a trailing ';':
// one line reads better in a log.
std::string OneLine(const std::string& message) {
    std::string out;
    bool blank = false;
    for (char c : message) {
        if (c == '\n' || c == '\r' || c == '\t' || c == ' ') {
            blank = true;
            continue;
        }
        if (blank && !out.empty()) {
            out += ' ';
        }
        blank = false;
        out += c;
    }
    while (!out.empty() && out.back() == ';') {
        out.pop_back();
    }
    return out;
}

}  // namespace

std::vector<OdbcDiagnostic> ReadOdbcDiagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::vector<OdbcDiagnostic> records;
    for (SQLSMALLINT i = 1; i <= 20; ++i) {
        std::array<SQLWCHAR, 6> state{};
        SQLINTEGER native = 0;
        std::array<SQLWCHAR, 2048> text{};
        SQLSMALLINT length = 0;
        const SQLRETURN rc = SQLGetDiagRecW(type, handle, i, state.data(), &native, text.data(),
                                            static_cast<SQLSMALLINT>(text.size()), &length);
        if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
            break;
        }
        const auto len = std::min<std::size_t>(length > 0 ? static_cast<std::size_t>(length) : 0,
                                               text.size() - 1);
        OdbcDiagnostic r;
        r.state = Utf16ToUtf8Lossy(
            std::u16string_view(reinterpret_cast<const char16_t*>(state.data()), 5));
        r.native = native;
        r.message = Utf16ToUtf8Lossy(
            std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), len));
        records.push_back(std::move(r));
    }
    return records;
}

std::string DescribeOdbcDiagnostics(const std::vector<OdbcDiagnostic>& records) {
    std::string out;
    for (const auto& r : records) {
        if (!out.empty()) {
            out += "; ";
        }
        out += OneLine(r.message) + " (SQLSTATE " + r.state + ")";
    }
    return out.empty() ? "the driver reported a failure without a diagnosis" : out;
}

const OdbcDiagnostic* PrimaryOdbcDiagnostic(const std::vector<OdbcDiagnostic>& records) {
    for (const auto& r : records) {
        if (r.state.rfind("01", 0) != 0) {
            return &r;
        }
    }
    return records.empty() ? nullptr : &records.front();
}

// The driver manager's own failures to find a driver or a data source.
bool NamesAMissingOdbcDriver(const std::vector<OdbcDiagnostic>& records) {
    for (const auto& r : records) {
        if (r.state == "IM002" || r.state == "IM003" ||
            r.message.find("Can't open lib") != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace db
