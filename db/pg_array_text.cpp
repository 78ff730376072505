#include "db/pg_array_text.h"

namespace db {

std::string PgArrayText(std::span<const char* const> values) {
    // Sized once: a group's column holds hundreds of values.
    std::size_t size = 2;
    for (const char* value : values) {
        size += value == nullptr ? 5 : std::char_traits<char>::length(value) + 3;
    }
    std::string out;
    out.reserve(size);
    out += '{';
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        if (values[i] == nullptr) {
            out += "NULL";
            continue;
        }
        out += '"';
        // Runs without a character to escape go at once; the character
        // escaped starts the next run.
        const char* run = values[i];
        const char* c = run;
        for (; *c != '\0'; ++c) {
            if (*c == '"' || *c == '\\') {
                out.append(run, c);
                out += '\\';
                run = c;
            }
        }
        out.append(run, c);
        out += '"';
    }
    out += '}';
    return out;
}

std::optional<std::size_t> CountOnes(std::string_view arrayText, std::size_t count) {
    if (arrayText.size() < 2 || arrayText.front() != '{' || arrayText.back() != '}') {
        return std::nullopt;
    }
    const std::string_view body = arrayText.substr(1, arrayText.size() - 2);
    if (body.empty()) {
        return count == 0 ? std::optional<std::size_t>(0) : std::nullopt;
    }
    // Elements are single digits between commas: "1,0,1".
    if (body.size() != 2 * count - 1) {
        return std::nullopt;
    }
    std::size_t ones = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (i % 2 == 1) {
            if (c != ',') {
                return std::nullopt;
            }
        } else if (c == '1') {
            ++ones;
        } else if (c != '0') {
            return std::nullopt;
        }
    }
    return ones;
}

}  // namespace db
