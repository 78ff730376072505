#pragma once
// The one reader and writer of "key=value;key=value" connection strings, as
// ODBC sources and the OLE DB strings of Windows sites write them. What the
// keys mean is left to the callers (the factory, the OLE DB translation).

#include <string>
#include <string_view>
#include <vector>

namespace db {

struct ConnectionStringPair {
    std::string key;  // as written, blanks around it removed
    std::string value;

    friend bool operator==(const ConnectionStringPair&, const ConnectionStringPair&) = default;
};

// How a value that holds ';' is enclosed.
enum class ValueQuoting {
    Braces,  // ODBC: {a;b}, '}' doubled inside
    Quotes,  // OLE DB: "a;b" or 'a;b', the quote doubled inside
};

struct ConnectionStringParse {
    std::vector<ConnectionStringPair> pairs;
    // The first thing that breaks the grammar; empty when the string is
    // well-formed. `pairs` holds the lenient reading either way.
    std::string error;
};

// Pairs are separated by ';'; blanks around keys and unquoted values are
// dropped; empty pairs are skipped. The lenient reading, which an ODBC
// driver manager also takes, skips a piece without '=' or without a key, runs
// an unclosed quote to the end and drops text after a closing quote; `error`
// names the first of these, for callers that refuse such a string.
ConnectionStringParse ParseConnectionString(std::string_view text, ValueQuoting quoting);

// A value as an ODBC string carries it: in braces, '}' doubled, when it holds
// ';', '{', '}' or blanks at either end.
std::string OdbcQuote(std::string_view value);

}  // namespace db
