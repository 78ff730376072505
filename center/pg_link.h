#pragma once
// One libpq connection and its results, for the shared registry: statements
// with text parameters, each result freed where it goes out of scope. A
// connection found broken is opened again before the next statement; a
// statement that failed on the way is not sent again (it may have been
// applied), its caller reports the failure.
//
// Thread: one per object.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

namespace center {

class PgResult {
public:
    PgResult() = default;
    explicit PgResult(pg_result* result, std::string error);
    bool ok() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    int rows() const;
    std::string text(int row, int column) const;
    std::int64_t integer(int row, int column) const;

private:
    struct Clear {
        void operator()(pg_result* result) const;
    };
    std::unique_ptr<pg_result, Clear> result_;
    std::string error_;
};

class PgLink {
public:
    PgLink() = default;
    ~PgLink();
    PgLink(const PgLink&) = delete;
    PgLink& operator=(const PgLink&) = delete;

    // The error text, empty once connected.
    std::string connect(const std::string& conninfo);
    void close();
    // Statements without parameters, several at once allowed.
    PgResult run(const std::string& sql);
    PgResult exec(const char* sql, const std::vector<std::string>& params);
    // "user@host:port/database", for the log.
    std::string where() const;
    pg_conn* raw() const { return conn_; }

private:
    bool usable();

    pg_conn* conn_ = nullptr;
};

}  // namespace center
