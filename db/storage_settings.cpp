#include "db/storage_settings.h"

#include <charconv>

#include "db/backend.h"
#include "text/ascii.h"

namespace db {
namespace {

bool ParseCount(std::string_view text, std::uint64_t low, std::uint64_t high, std::uint64_t& out) {
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < low || n > high) {
        return false;
    }
    out = n;
    return true;
}

void Warn(std::string& warning, std::string_view key, std::string_view text,
          std::string_view expected) {
    if (!warning.empty()) {
        warning += "; ";
    }
    warning += std::string(key) + ": '" + std::string(text) + "' is not " + std::string(expected) +
               "; the default holds";
}

}  // namespace

std::string ReadStorageSettings(std::string_view journal, std::string_view syncMs,
                                std::string_view maxMB, std::string_view queueLimit,
                                StorageSettings& out) {
    out = StorageSettings{};
    std::string warning;
    const std::string_view on = text::TrimAscii(journal);
    const std::string lower = text::AsciiLower(on);
    if (lower == "0" || lower == "off" || lower == "false" || lower == "no") {
        out.journal = false;
    } else if (!(lower.empty() || lower == "1" || lower == "on" || lower == "true" ||
                 lower == "yes")) {
        Warn(warning, "EventServer_Journal", journal, "1 or 0");
    }
    std::uint64_t n = 0;
    if (const auto t = text::TrimAscii(syncMs); !t.empty()) {
        if (ParseCount(t, 1, 60000, n)) {
            out.syncEvery = std::chrono::milliseconds(n);
        } else {
            Warn(warning, "EventServer_JournalSyncMs", syncMs, "a number from 1 to 60000");
        }
    }
    if (const auto t = text::TrimAscii(maxMB); !t.empty()) {
        if (ParseCount(t, 1, 1048576, n)) {
            out.journalMaxMB = n;
        } else {
            Warn(warning, "EventServer_JournalMaxMB", maxMB, "a number from 1 to 1048576");
        }
    }
    if (const auto t = text::TrimAscii(queueLimit); !t.empty()) {
        if (ParseCount(t, 1, 100'000'000, n)) {
            out.queueLimit = static_cast<std::size_t>(n);
        } else {
            Warn(warning, "EventServer_QueueLimit", queueLimit, "a number from 1 to 100000000");
        }
    }
    return warning;
}

}  // namespace db
