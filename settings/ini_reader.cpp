#include "settings/ini_reader.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "text/ascii.h"

namespace settings {
namespace {

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16 text after its byte-order mark; a lone surrogate or an odd last byte
// becomes U+FFFD.
std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
    auto unit = [&](std::size_t i) -> char16_t {
        const auto b0 = static_cast<unsigned char>(bytes[i]);
        const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<char16_t>(bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0));
    };
    constexpr char32_t kReplacement = 0xFFFD;
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        const char16_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < bytes.size()) {
            const char16_t low = unit(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                appendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        appendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : char32_t(u));
    }
    if (i < bytes.size()) {
        appendUtf8(out, kReplacement);
    }
    return out;
}

// The file's bytes as UTF-8 text.
std::string decode(std::string bytes) {
    const std::string_view view = bytes;
    if (view.starts_with("\xFF\xFE")) {
        return utf16ToUtf8(view.substr(2), false);
    }
    if (view.starts_with("\xFE\xFF")) {
        return utf16ToUtf8(view.substr(2), true);
    }
    if (view.starts_with("\xEF\xBB\xBF")) {
        bytes.erase(0, 3);
    }
    return bytes;
}

std::string_view unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// Each line of `content`, trimmed, without its line end.
template <typename Visit>
void forEachLine(std::string_view content, Visit visit) {
    while (!content.empty()) {
        const auto end = content.find('\n');
        std::string_view line = content.substr(0, end);
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!visit(text::TrimAscii(line))) {
            return;
        }
    }
}

// Whether `line` (trimmed) is a section header naming `section`.
bool isHeaderOf(std::string_view line, std::string_view section) {
    const auto close = line.find(']');
    return text::EqualsIgnoringCase(
        text::TrimAscii(line.substr(1, close == line.npos ? line.npos : close - 1)), section);
}

}  // namespace

bool hasIniSection(std::string_view content, std::string_view section) {
    bool found = false;
    forEachLine(content, [&](std::string_view line) {
        found = line.starts_with('[') && isHeaderOf(line, section);
        return !found;
    });
    return found;
}

std::optional<std::string> findIniValue(std::string_view content, std::string_view section,
                                        std::string_view key) {
    bool inSection = false;
    std::optional<std::string> value;
    forEachLine(content, [&](std::string_view line) {
        if (line.starts_with('[')) {
            inSection = isHeaderOf(line, section);
            return true;
        }
        const auto equals = line.find('=');
        if (!inSection || equals == std::string_view::npos ||
            !text::EqualsIgnoringCase(text::TrimAscii(line.substr(0, equals)), key)) {
            return true;
        }
        value = std::string(unquote(text::TrimAscii(line.substr(equals + 1))));
        return false;
    });
    return value;
}

std::optional<std::string> readIniText(const std::string& path) {
    // Plain stdio: a stream would throw when the path is a folder.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[4096];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, count);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        return std::nullopt;
    }
    return decode(std::move(bytes));
}

std::optional<std::string> readIniValue(const std::string& path, std::string_view section,
                                        std::string_view key) {
    const std::optional<std::string> text = readIniText(path);
    if (!text) {
        return std::nullopt;
    }
    return findIniValue(*text, section, key);
}

std::string cutToCharacters(std::string text, std::size_t count) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool continuation = (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
        if (!continuation && characters++ == count) {
            text.resize(i);
            break;
        }
    }
    return text;
}

}  // namespace settings
