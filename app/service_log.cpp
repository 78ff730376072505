#include "app/service_log.h"

#include <algorithm>
#include <cctype>

namespace app {
namespace {

constexpr std::string_view kMask = "***";

bool IEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool IsSecretKey(std::string_view key) {
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) {
        key.remove_suffix(1);
    }
    // The word before '=' ends the key: "Provider=x;Password=y", "password=y".
    const auto start = key.find_last_of(" \t;&?(,\"'");
    if (start != std::string_view::npos) {
        key.remove_prefix(start + 1);
    }
    return IEquals(key, "password") || IEquals(key, "pwd") || IEquals(key, "passwd");
}

// End of a value that starts at `pos`: a quoted or braced value runs to its
// closing mark (doubled marks stay inside), a bare one to ';', '&' or a blank.
std::size_t ValueEnd(std::string_view text, std::size_t pos) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) {
        ++pos;
    }
    if (pos >= text.size()) {
        return pos;
    }
    const char open = text[pos];
    if (open == '\'' || open == '"' || open == '{') {
        const char close = open == '{' ? '}' : open;
        std::size_t i = pos + 1;
        while (i < text.size()) {
            if (text[i] == close) {
                if (i + 1 < text.size() && text[i + 1] == close) {
                    i += 2;
                    continue;
                }
                return i + 1;
            }
            ++i;
        }
        return text.size();
    }
    std::size_t i = pos;
    while (i < text.size() && text[i] != ';' && text[i] != '&' && text[i] != ' ' &&
           text[i] != '\t') {
        ++i;
    }
    return i;
}

std::string MaskKeyValues(std::string_view text) {
    std::string out;
    std::size_t copied = 0;
    std::size_t pos = 0;
    while ((pos = text.find('=', pos)) != std::string_view::npos) {
        if (!IsSecretKey(text.substr(0, pos))) {
            ++pos;
            continue;
        }
        const std::size_t end = ValueEnd(text, pos + 1);
        out.append(text.substr(copied, pos + 1 - copied));
        out.append(kMask);
        copied = end;
        pos = end;
    }
    out.append(text.substr(copied));
    return out;
}

std::string MaskUrlPasswords(std::string_view text) {
    std::string out;
    std::size_t copied = 0;
    std::size_t scheme = 0;
    while ((scheme = text.find("://", scheme)) != std::string_view::npos) {
        const std::size_t authority = scheme + 3;
        const std::size_t authorityEnd =
            std::min(text.find_first_of("/?# \t;", authority), text.size());
        const std::size_t at = text.rfind('@', authorityEnd == 0 ? 0 : authorityEnd - 1);
        scheme = authority;
        if (at == std::string_view::npos || at < authority || at >= authorityEnd) {
            continue;
        }
        const std::size_t colon = text.find(':', authority);
        if (colon == std::string_view::npos || colon > at) {
            continue;
        }
        out.append(text.substr(copied, colon + 1 - copied));
        out.append(kMask);
        copied = at;
    }
    out.append(text.substr(copied));
    return out;
}

}  // namespace

std::string MaskSecrets(std::string_view text) {
    return MaskKeyValues(MaskUrlPasswords(text));
}

std::string StartedLine(const StartInfo& info) {
    return "service started: db=" + MaskSecrets(info.connectString) +
           " center=" + info.centerAddress + ":" + std::to_string(info.tcpPort) + "/" +
           std::to_string(info.udpPort) + " user=" + info.user;
}

std::string StoppedLine(const StopCounters& c) {
    return "service stopped: queued=" + std::to_string(c.queued) +
           " executed=" + std::to_string(c.executed) + " rejected=" + std::to_string(c.rejected) +
           " dropped=" + std::to_string(c.dropped) + " retried=" + std::to_string(c.retried) +
           " discarded=" + std::to_string(c.discarded) +
           (c.journal ? " waiting=" + std::to_string(c.waiting) : std::string());
}

std::string StartFailedLine(std::string_view reason, std::string_view detail) {
    std::string line = "service start failed: " + MaskSecrets(reason);
    if (!detail.empty()) {
        line += " (" + MaskSecrets(detail) + ")";
    }
    return line;
}

}  // namespace app
