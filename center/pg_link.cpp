#include "center/pg_link.h"

#include <libpq-fe.h>

#include <charconv>

namespace center {
namespace {

std::string ConnectionError(const PGconn* conn) {
    std::string text = conn != nullptr ? PQerrorMessage(conn) : "not connected to the database";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? std::string("the database connection is broken") : text;
}

PgResult Checked(PGconn* conn, PGresult* result) {
    const ExecStatusType status = PQresultStatus(result);
    if (result != nullptr && (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)) {
        return PgResult(result, {});
    }
    std::string error = result != nullptr ? PQresultErrorMessage(result) : "";
    if (error.empty()) {
        error = ConnectionError(conn);
    }
    while (!error.empty() && error.back() == '\n') {
        error.pop_back();
    }
    return PgResult(result, error);
}

}  // namespace

PgResult::PgResult(pg_result* result, std::string error)
    : result_(result), error_(std::move(error)) {}

void PgResult::Clear::operator()(pg_result* result) const {
    PQclear(result);
}

int PgResult::rows() const {
    return ok() && result_ ? PQntuples(result_.get()) : 0;
}

std::string PgResult::text(int row, int column) const {
    if (row >= rows() || column >= PQnfields(result_.get())) {
        return {};
    }
    return {PQgetvalue(result_.get(), row, column),
            static_cast<std::size_t>(PQgetlength(result_.get(), row, column))};
}

std::int64_t PgResult::integer(int row, int column) const {
    const std::string value = text(row, column);
    std::int64_t n = 0;
    std::from_chars(value.data(), value.data() + value.size(), n);
    return n;
}

PgLink::~PgLink() {
    close();
}

std::string PgLink::connect(const std::string& conninfo) {
    close();
    conn_ = PQconnectdb(conninfo.c_str());
    if (PQstatus(conn_) != CONNECTION_OK) {
        std::string error = ConnectionError(conn_);
        close();
        return error;
    }
    // Text comes in and goes out as UTF-8, whatever the server's locale.
    PQsetClientEncoding(conn_, "UTF8");
    // "already exists, skipping" and the like are no news for the log.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    return {};
}

void PgLink::close() {
    if (conn_ != nullptr) {
        PQfinish(conn_);
        conn_ = nullptr;
    }
}

bool PgLink::usable() {
    if (conn_ == nullptr) {
        return false;
    }
    if (PQstatus(conn_) != CONNECTION_OK) {
        PQreset(conn_);
        if (PQstatus(conn_) == CONNECTION_OK) {
            PQsetClientEncoding(conn_, "UTF8");
        }
    }
    return PQstatus(conn_) == CONNECTION_OK;
}

PgResult PgLink::run(const std::string& sql) {
    if (!usable()) {
        return PgResult(nullptr, ConnectionError(conn_));
    }
    return Checked(conn_, PQexec(conn_, sql.c_str()));
}

PgResult PgLink::exec(const char* sql, const std::vector<std::string>& params) {
    if (!usable()) {
        return PgResult(nullptr, ConnectionError(conn_));
    }
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const std::string& p : params) {
        values.push_back(p.c_str());
    }
    return Checked(conn_, PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr,
                                       values.data(), nullptr, nullptr, 0));
}

std::string PgLink::where() const {
    if (conn_ == nullptr) {
        return "PostgreSQL (not connected)";
    }
    const std::string host = PQhost(conn_) != nullptr ? PQhost(conn_) : "";
    return std::string(PQuser(conn_)) + "@" + host + ":" + PQport(conn_) + "/" + PQdb(conn_);
}

}  // namespace center
