#pragma once
// The stored procedures the program calls, the types of their parameters,
// and the check of a command against them.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "db/sql_command.h"

namespace db {

enum class ParamType { Text, Real, Int32 };

// How many parameters every procedure takes after its own: the time the
// statement was received and the statement's id. The time keeps a statement
// that runs late dated when it was received; the id lets the database ignore
// a statement sent again after a lost connection.
inline constexpr std::size_t kStampParams = 2;

// A procedure the backends know how to call, with kStampParams after its
// own parameters.
struct ProcedureDef {
    std::string_view name;     // as in the statement text, e.g. "GPS_ADD"
    std::string_view sqlName;  // lower-case name in our schemas, e.g. "gps_add"
    std::span<const ParamType> params;
};

std::span<const ProcedureDef> KnownProcedures();

// The procedure a command calls (case-insensitive), or null.
const ProcedureDef* FindProcedure(std::string_view name);

// Checks a command against the procedure it calls. Returns the definition, or
// null with `error` saying what is wrong (unknown procedure, wrong number or
// type of parameters, an integer outside 32 bits).
const ProcedureDef* CheckCommand(const SqlCommand& command, std::string& error);

}  // namespace db
