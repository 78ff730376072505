#include "text/password_mask.h"

#include <algorithm>
#include <array>

#include "text/ascii.h"

namespace text {
namespace {

constexpr std::string_view kMask = "***";

// How the pair whose value is being masked is written, which decides where
// its value ends.
enum class Form {
    Libpq,     // host=db password=x dbname=v: blanks separate pairs
    Odbc,      // UID=sa;PWD=x y: ';' separates pairs, OLE DB alike
    UrlQuery,  // ...?user=a&password=x: '&' separates parameters
};

bool IsWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool IsPasswordKey(std::string_view word) {
    constexpr std::array<std::string_view, 4> kKeys{"password", "pwd", "passwd", "sslpassword"};
    return std::any_of(kKeys.begin(), kKeys.end(), [word](std::string_view key) {
        return key.size() == word.size() &&
               std::equal(key.begin(), key.end(), word.begin(),
                          [](char k, char w) { return k == AsciiLower(w); });
    });
}

std::size_t SkipBlanks(std::string_view text, std::size_t i) {
    while (i < text.size() && IsAsciiSpace(text[i])) {
        ++i;
    }
    return i;
}

// Whether what follows a separator at `i` is the next pair (a key and '='),
// or nothing more: only then does the separator end the value before it.
bool StartsNextPair(std::string_view text, std::size_t i, Form form) {
    i = SkipBlanks(text, i);
    if (i >= text.size()) {
        return true;
    }
    if (form == Form::Odbc) {
        if (text[i] == ';') {
            return true;  // an empty pair
        }
        // OLE DB keys may hold blanks ("User ID").
        const std::size_t start = i;
        while (i < text.size() && text[i] != '=' && text[i] != ';' && text[i] != '{' &&
               text[i] != '}') {
            ++i;
        }
        return i > start && i < text.size() && text[i] == '=';
    }
    const std::size_t start = i;
    while (i < text.size() && (IsWordChar(text[i]) || text[i] == '.' || text[i] == '-')) {
        ++i;
    }
    if (i == start) {
        return false;
    }
    i = SkipBlanks(text, i);
    return i < text.size() && text[i] == '=';
}

bool IsSeparator(char c, Form form) {
    switch (form) {
        case Form::Odbc:
            return c == ';';
        case Form::Libpq:
            return IsAsciiSpace(c);
        case Form::UrlQuery:
            return c == '&' || IsAsciiSpace(c);
    }
    return false;
}

// The end of the value that starts at `i` (blanks after '=' skipped).
std::size_t ValueEnd(std::string_view text, std::size_t i, Form form) {
    const std::size_t n = text.size();
    if (i < n && form == Form::Odbc && text[i] == '{') {
        // ODBC: braces, '}}' standing for one '}'.
        for (++i; i < n; ++i) {
            if (text[i] == '}') {
                if (i + 1 < n && text[i + 1] == '}') {
                    ++i;
                    continue;
                }
                ++i;
                break;
            }
        }
    } else if (i < n && (text[i] == '\'' || (text[i] == '"' && form != Form::Libpq))) {
        // libpq: single quotes with backslash escapes; OLE DB: either quote,
        // doubled inside. A doubled quote is taken as inside in both.
        const char quote = text[i];
        for (++i; i < n; ++i) {
            if (form == Form::Libpq && text[i] == '\\') {
                ++i;
                continue;
            }
            if (text[i] == quote) {
                if (i + 1 < n && text[i + 1] == quote) {
                    ++i;
                    continue;
                }
                ++i;
                break;
            }
        }
    }
    // The unquoted value, or whatever follows a closing quote before the
    // next pair (which its library would refuse, but it may be secret).
    while (i < n) {
        if (form == Form::Libpq && text[i] == '\\') {
            i += 2;
            continue;
        }
        if (IsSeparator(text[i], form) && StartsNextPair(text, i + 1, form)) {
            break;
        }
        ++i;
    }
    return std::min(i, n);
}

// The form of the pair whose key is the word at `keyStart`.
Form FormOf(std::string_view text, std::size_t keyStart, std::string_view key) {
    std::size_t i = keyStart;
    while (i > 0 && IsAsciiSpace(text[i - 1])) {
        --i;
    }
    const char before = i > 0 ? text[i - 1] : '\0';
    if (before == ';') {
        return Form::Odbc;
    }
    if (before == '?' || before == '&') {
        return Form::UrlQuery;
    }
    // libpq's keywords are lower case; Password and PWD are ODBC or OLE DB.
    return key == "password" ? Form::Libpq : Form::Odbc;
}

std::string MaskKeyValues(std::string_view text) {
    std::string out;
    std::size_t copied = 0;
    std::size_t pos = 0;
    while ((pos = text.find('=', pos)) != std::string_view::npos) {
        std::size_t keyEnd = pos;
        while (keyEnd > copied && IsAsciiSpace(text[keyEnd - 1])) {
            --keyEnd;
        }
        std::size_t keyStart = keyEnd;
        while (keyStart > copied && IsWordChar(text[keyStart - 1])) {
            --keyStart;
        }
        const std::string_view key = text.substr(keyStart, keyEnd - keyStart);
        if (key.empty() || !IsPasswordKey(key)) {
            ++pos;
            continue;
        }
        const Form form = FormOf(text, keyStart, key);
        const std::size_t valueStart = SkipBlanks(text, pos + 1);
        const std::size_t end = ValueEnd(text, valueStart, form);
        out.append(text.substr(copied, valueStart - copied));
        out.append(kMask);
        copied = end;
        pos = end;
    }
    out.append(text.substr(copied));
    return out;
}

// Where the URL whose authority starts at `i` ends in a longer text: at a
// blank that is followed by something else (a log line's next field).
std::size_t UrlEnd(std::string_view text, std::size_t i) {
    while (i < text.size()) {
        if (IsAsciiSpace(text[i]) && StartsNextPair(text, i + 1, Form::Libpq)) {
            break;
        }
        ++i;
    }
    return i;
}

std::string MaskUrlUserInfo(std::string_view text) {
    std::string out;
    std::size_t copied = 0;
    std::size_t scheme = 0;
    while ((scheme = text.find("://", scheme)) != std::string_view::npos) {
        const std::size_t authority = scheme + 3;
        scheme = authority;
        const std::size_t end = UrlEnd(text, authority);
        // libpq takes the host from after the user information up to the
        // path; a password holding a raw '@' is masked whole. One holding a
        // raw '/' (which libpq misreads) shows as an '@' after that '/' and
        // before any query.
        const std::size_t slash = std::min(text.find('/', authority), end);
        std::size_t at = text.substr(authority, slash - authority).rfind('@');
        if (at == std::string_view::npos) {
            const std::size_t query = std::min(text.find('?', authority), end);
            at = text.substr(authority, query - authority).rfind('@');
        }
        if (at == std::string_view::npos) {
            continue;
        }
        const std::string_view hostPart = text.substr(authority, at + 1);
        const std::size_t colon = hostPart.find(':');
        if (colon == std::string_view::npos || colon > at) {
            continue;  // a user name without a password
        }
        out.append(text.substr(copied, authority + colon + 1 - copied));
        out.append(kMask);
        copied = authority + at;
        scheme = copied;
    }
    out.append(text.substr(copied));
    return out;
}

}  // namespace

std::string MaskPasswords(std::string_view text) {
    return MaskKeyValues(MaskUrlUserInfo(text));
}

}  // namespace text
