#pragma once
// The private PostgreSQL server of the test run (scripts/pg-test-server,
// started by the CTest fixture "vardo_pg", which sets VARDO_TEST_PG_DIR):
// its connection string, and halting and restarting it.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pgtest {

// The server's connection string (to its "postgres" database), or nothing
// with `why` saying what is missing (a test binary run by hand without the
// fixture).
std::optional<std::string> ServerConnInfo(std::string* why = nullptr);

// Stops the server, keeping its data, and starts it again (the restart test).
bool HaltServer(std::string* error = nullptr);
bool StartServer(std::string* error = nullptr);

// The value of `key=` in a "host=... port=... user=..." text such as the
// server's (the last one wins, as libpq reads it); empty when absent.
std::string ConnInfoValue(const std::string& conninfo, const std::string& key);

using Rows = std::vector<std::vector<std::string>>;  // NULL reads as "<null>"

// A fresh database on the server, with the event server's schema installed,
// dropped again when the object goes away. Tests running at once each get
// their own.
class TestDatabase {
public:
    // Null with `error` set when there is no server or creation failed.
    static std::unique_ptr<TestDatabase> Create(std::string& error, bool installSchema = true);
    ~TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;

    const std::string& ConnInfo() const { return m_connInfo; }
    const std::string& Name() const { return m_name; }

    // Runs SQL on a connection of the test's own (not the one under test).
    bool Exec(const std::string& sql, std::string* error = nullptr);
    Rows Query(const std::string& sql, std::string* error = nullptr);

private:
    TestDatabase(std::string serverConnInfo, std::string name);

    std::string m_serverConnInfo;
    std::string m_name;
    std::string m_connInfo;
};

}  // namespace pgtest
