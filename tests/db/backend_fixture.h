#pragma once
// BackendTest: a test suite run once per backend, each test on a fresh
// database.

#include <gtest/gtest.h>

#include <cstdlib>

#include "db/db_connection.h"
#include "tests/db/test_store.h"

namespace dbtest {

// Runs a suite over every backend: a fresh database per test. Without the
// test server's fixture (a binary run by hand) the PostgreSQL cases skip;
// under ctest a missing server fails them.
class BackendTest : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        std::string why;
        store = MakeStore(GetParam(), why);
        if (!store) {
            const char* dir = std::getenv("VARDO_TEST_PG_DIR");
            if (dir == nullptr || *dir == '\0') {
                GTEST_SKIP() << why;
            }
            FAIL() << why;
        }
        conn = std::make_unique<CMyDbConnection>(store->BaseDir());
    }

    bool OpenConn() { return conn->Open(store->ConnectionString(), 10); }

    std::unique_ptr<TestStore> store;
    std::unique_ptr<CMyDbConnection> conn;
};

inline std::string ParamName(const ::testing::TestParamInfo<Kind>& info) {
    return KindName(info.param);
}

}  // namespace dbtest
