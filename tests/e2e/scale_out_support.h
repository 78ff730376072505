#pragma once
// What the tests of centers sharing one PostgreSQL have in common.

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "testsupport/pg/pg_test_server.h"

namespace e2e {

using namespace std::chrono_literals;

// A fresh folder under /tmp, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/vardo-shared-XXXXXX";
        if (mkdtemp(pattern) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempFolder() {
        if (!path_.empty()) {
            std::filesystem::remove_all(path_);
        }
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Waits until `sql` gives `want` as its first cell; the last answer.
inline std::string WaitForValue(pgtest::TestDatabase& db, const std::string& sql,
                                const std::string& want, std::chrono::seconds limit = 30s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    std::string got;
    do {
        const auto rows = db.Query(sql);
        got = rows.empty() || rows[0].empty() ? std::string("<none>") : rows[0][0];
        if (got == want) {
            break;
        }
        std::this_thread::sleep_for(200ms);
    } while (std::chrono::steady_clock::now() < end);
    return got;
}

}  // namespace e2e
