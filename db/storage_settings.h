#pragma once
// Where waiting statements are kept, as Config.ini sets it.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace db {

struct StorageSettings {
    bool journal = true;                       // EventServer_Journal
    std::chrono::milliseconds syncEvery{100};  // EventServer_JournalSyncMs
    std::uint64_t journalMaxMB = 1024;         // EventServer_JournalMaxMB
    std::size_t queueLimit = 1'000'000;        // EventServer_QueueLimit
};

// Reads the four settings from their Config.ini texts (empty: the default).
// A text that is not a valid value keeps the default, and the returned
// warning names each such key; otherwise the warning is empty.
//   journal      1/0, on/off, true/false, yes/no (any case)
//   syncMs       1 to 60000
//   maxMB        1 to 1048576
//   queueLimit   1 to 100000000 statements held in memory
std::string ReadStorageSettings(std::string_view journal, std::string_view syncMs,
                                std::string_view maxMB, std::string_view queueLimit,
                                StorageSettings& out);

}  // namespace db
