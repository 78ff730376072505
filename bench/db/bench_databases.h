#pragma once
// Where the benchmarks write: a temporary folder for SQLite files, and a
// database of their own on a PostgreSQL server, reached through libpq and
// through the PostgreSQL ODBC driver.
//
//   VARDO_TEST_PG_DIR=DIR   a server started with scripts/pg-test-server
//   VARDO_BENCH_PG=...      or a server of your own, schema installed (libpq only)

#include <string>
#include <vector>

#include "db/sql_command.h"

namespace dbbench {

enum class Backend { Sqlite, Postgresql, Odbc };

const char* Name(Backend backend);

// Creates what the run needs; undone by TearDown.
bool SetUp();
void TearDown();

// The whole of a database benchmark's main once its benchmarks are
// registered: reads the benchmark flags, sets up, runs what the flags select
// and tears down. The process's exit status (1 when the setup failed).
int RunBenchmarks(int argc, char** argv);

// The connection string of a backend; `file` names the SQLite file.
std::string ConnectionString(Backend backend, const std::string& file);
// Empty when the backend can be used; otherwise why not.
const std::string& SkipReason(Backend backend);

// A fresh database for one setup of a run, beside the shared one: a new
// SQLite file in the run's folder, or a new database with the schema on the
// test server (not on a server of your own: that needs the right to create
// databases). Its connection string, or empty with `why` saying what is
// missing.
//
// CreateSkipReason is empty when the backend can make them; otherwise why not.
std::string CreateSkipReason(Backend backend);
std::string CreateDatabase(Backend backend, const std::string& name, std::string* why = nullptr);
// Drops a PostgreSQL database CreateDatabase made (its connections are ended);
// SQLite files stay until TearDown removes the folder. TearDown drops what is
// left.
void DropDatabase(Backend backend, const std::string& name);

// `size` GPS fixes of 50 devices, built now.
std::vector<db::SqlCommand> MakeFixes(int size);

}  // namespace dbbench
