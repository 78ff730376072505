#pragma once
// The registry of a center on its own: an SQLite file under the data folder,
// so that codes survive a restart of the center.
//
// Thread: one per object; the file is shared between connections.

#include <unordered_map>

#include "center/registry.h"

struct sqlite3;
struct sqlite3_stmt;

namespace center {

class SqliteRegistry final : public Registry {
public:
    SqliteRegistry() = default;
    ~SqliteRegistry() override;
    SqliteRegistry(const SqliteRegistry&) = delete;
    SqliteRegistry& operator=(const SqliteRegistry&) = delete;

    // Opens (creating if needed) the file; the error text, empty on success.
    std::string open(const std::string& path);
    void close();
    const std::string& path() const { return path_; }

    std::unique_ptr<Registry> openAnother(std::string& error) override;
    std::string where() const override { return path_; }
    std::optional<TerminalRecord> find(const std::string& phone) override;
    std::optional<std::string> enroll(const TerminalRecord& terminal, std::int64_t now,
                                      std::string& error) override;
    Enrolment enrollNew(const TerminalRecord& terminal, std::int64_t now) override;
    std::string release(const std::string& phone, std::int64_t until) override;
    std::string touch(const std::string& phone, std::int64_t now) override;
    std::string touchAll(const std::vector<Seen>& seen) override;
    std::string setDriver(const std::string& phone, const std::string& driver) override;
    std::string forget(const std::string& phone) override;
    std::size_t count() override;

    // The statements this connection keeps prepared, by their SQL text (a
    // literal at each call).
    using Prepared = std::unordered_map<const char*, sqlite3_stmt*>;

private:
    std::string exec(const char* sql);

    std::string path_;
    sqlite3* db_ = nullptr;
    Prepared prepared_;
};

}  // namespace center
