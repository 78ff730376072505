#pragma once
// The shared registry's PostgreSQL schema (db/schema/center_registry.sql),
// built into the center so that it can create its tables where missing.

#include <string_view>

namespace center {

std::string_view RegistrySchemaSql();

}  // namespace center
