#pragma once
// The schema scripts of db/schema/, built into the library. The SQLite one
// runs at every open (it only creates what is missing); the PostgreSQL one is
// for a site's administrator and for the tests' private server.

#include <string_view>

namespace db {

std::string_view SqliteSchemaSql();
std::string_view PostgresqlSchemaSql();

}  // namespace db
