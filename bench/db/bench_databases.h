#pragma once

#include <string>
#include <vector>

#include "db/sql_command.h"

// Where the database benchmarks write: a temporary folder for SQLite files,
// and a database of its own on a PostgreSQL server, reached through libpq and
// through the PostgreSQL ODBC driver.
//
//   VARDO_TEST_PG_DIR=DIR   a server started with scripts/pg-test-server
//   VARDO_BENCH_PG=...      or a server of your own, schema installed (libpq only)
namespace dbbench {

enum class Backend { Sqlite, Postgresql, Odbc };

const char* Name(Backend backend);

// Creates what the run needs; undone by TearDown.
bool SetUp();
void TearDown();

// The connection string of a backend; `file` names the SQLite file.
std::string ConnectionString(Backend backend, const std::string& file);
// Empty when the backend can be used; otherwise why not.
const std::string& SkipReason(Backend backend);

// `size` GPS fixes of 50 devices, built now.
std::vector<db::SqlCommand> MakeFixes(int size);

}  // namespace dbbench
