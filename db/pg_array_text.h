#pragma once
// PostgreSQL array values in their text form, as a bound parameter carries
// them: a run of calls travels as one call with an array per parameter.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace db {

// The array literal of `values` in order: every element quoted (backslashes
// and double quotes escaped), a null pointer as an unquoted NULL. The server
// parses each element as the declared element type, as it would the value
// bound alone.
std::string PgArrayText(std::span<const char* const> values);

// Reads a one-dimensional array of 0 and 1 such as "{1,0,1}": the number of
// ones, or nothing when the text is not such an array of exactly `count`
// elements.
std::optional<std::size_t> CountOnes(std::string_view arrayText, std::size_t count);

}  // namespace db
