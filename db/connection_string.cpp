#include "db/connection_string.h"

#include "text/ascii.h"

namespace db {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

ConnectionStringParse ParseConnectionString(std::string_view text, ValueQuoting quoting) {
    ConnectionStringParse out;
    const auto fault = [&out](std::string message) {
        if (out.error.empty()) {
            out.error = std::move(message);
        }
    };
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const std::size_t keyStart = i;
        while (i < n && text[i] != '=' && text[i] != ';') {
            ++i;
        }
        const std::string_view key = text::TrimAscii(text.substr(keyStart, i - keyStart));
        if (i >= n || text[i] == ';') {
            if (!key.empty()) {
                fault("'" + std::string(key) + "' has no '=' and value");
            }
            ++i;
            continue;
        }
        if (key.empty()) {
            fault("a value without a key");
        }
        ++i;  // '='
        while (i < n && IsBlank(text[i])) {
            ++i;
        }
        const bool quoted =
            i < n && (quoting == ValueQuoting::Braces ? text[i] == '{'
                                                      : (text[i] == '"' || text[i] == '\''));
        std::string value;
        if (quoted) {
            const char close = text[i] == '{' ? '}' : text[i];
            ++i;
            bool closed = false;
            while (i < n) {
                if (text[i] == close) {
                    if (i + 1 < n && text[i + 1] == close) {
                        value += close;
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                value += text[i++];
            }
            if (!closed) {
                fault("the value of '" + std::string(key) + "' lacks its closing quote");
            }
            while (i < n && IsBlank(text[i])) {
                ++i;
            }
            if (i < n && text[i] != ';') {
                fault("text after the quoted value of '" + std::string(key) + "'");
                while (i < n && text[i] != ';') {
                    ++i;
                }
            }
        } else {
            const std::size_t start = i;
            while (i < n && text[i] != ';') {
                ++i;
            }
            value = std::string(text::TrimAscii(text.substr(start, i - start)));
        }
        if (!key.empty()) {
            out.pairs.push_back({std::string(key), std::move(value)});
        }
        ++i;  // ';' or past the end
    }
    return out;
}

std::string OdbcQuote(std::string_view value) {
    const bool needsBraces = value.find_first_of(";{}") != std::string_view::npos ||
                             (!value.empty() && (IsBlank(value.front()) || IsBlank(value.back())));
    if (!needsBraces) {
        return std::string(value);
    }
    std::string out = "{";
    for (char c : value) {
        out += c;
        if (c == '}') {
            out += '}';
        }
    }
    out += '}';
    return out;
}

}  // namespace db
