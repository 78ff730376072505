#pragma once
// Statements set aside: those the database timed out on again and again,
// kept beside the journal so that they hold up nothing and are never
// dropped. Two files in the journal's folder:
//   dead-letters.jnl  the statements, as the journal's records, for replay
//   dead-letters.txt  one line each for the operator: when, why, what
// Replay moves the statements into the journal (the next start sends them
// first) and renames the file, so that each is replayed once.
//
// Threads: Add from one thread at a time (the database worker), Count from
// any.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>

#include "db/sql_command.h"

namespace db {

class CStatementJournal;

class CDeadLetters {
public:
    explicit CDeadLetters(std::filesystem::path dir);

    // Appends the statement and its error, synced; false with `why` when it
    // could not be kept.
    bool Add(const SqlCommand& command, const std::string& error, std::string& why);
    // Statements set aside through this object.
    std::uint64_t Count() const;

    // Moves every statement of `dir`'s dead-letter file into `journal`, in
    // order, synced, then renames the file to dead-letters-replayed-N.jnl.
    // False with `error` when it cannot; `count` says how many were moved.
    static bool Replay(const std::filesystem::path& dir, CStatementJournal& journal,
                       std::uint64_t& count, std::string& error);

private:
    std::filesystem::path m_dir;
    mutable std::mutex m_mutex;
    std::uint64_t m_count = 0;  // guarded by m_mutex
};

}  // namespace db
