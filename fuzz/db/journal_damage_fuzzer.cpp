// A journal of known statements, damaged where the input says, opened and read
// back. Whatever the damage (bytes changed, a segment cut or removed), what
// comes back must be statements that were written, in order and once each,
// and what was read plus what the open names missing must be every statement
// not done: nothing may vanish unlogged.
//
// Input: a list of edits, 4 bytes each: segment (1 byte), kind (1 byte),
// position (2 bytes, a fraction of the segment's size).
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "db/statement_journal.h"
#include "fuzz/common/folder_damage.h"

namespace {

namespace fs = std::filesystem;

constexpr int kStatements = 600;
constexpr std::uint64_t kDone = 40;

db::SqlCommand Fix(int i) {
    return db::MakeGpsFix("D" + std::to_string(i), {1.5, 2.5, 3, 4}, std::string(100, 'g'),
                          db::Clock::time_point(std::chrono::seconds(1'765'000'000 + i)));
}

const fs::path& Dir() {
    static const fs::path dir = [] {
        char name[] = "/tmp/vardo-journal-damage-XXXXXX";
        return fs::path(mkdtemp(name) != nullptr ? name : "/tmp/vardo-journal-damage");
    }();
    return dir;
}

// The undamaged journal, written once: its segments' bytes by name.
const fuzzing::FolderFiles& Pristine() {
    static const fuzzing::FolderFiles files = [] {
        const fs::path dir = Dir() / "pristine";
        db::JournalOptions options;
        options.dir = dir;
        options.segmentBytes = 64u << 10;
        std::string error;
        {
            auto journal = db::CStatementJournal::Open(options, nullptr, error);
            for (int i = 0; i < kStatements; ++i) {
                journal->Append(Fix(i));
                if (i % 100 == 99) {
                    journal->Flush(true);  // lets the segments roll
                }
            }
            journal->MarkDone(kDone);
        }
        return fuzzing::ReadFolder(dir);
    }();
    return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto& files = Pristine();
    if (files.empty()) {
        return 0;
    }
    const fs::path dir = Dir() / "damaged";
    fuzzing::WriteDamaged(files, data, size, dir);
    db::JournalOptions options;
    options.dir = dir;
    std::string error;
    auto journal = db::CStatementJournal::Open(options, nullptr, error);
    if (!journal) {
        return 0;
    }
    std::vector<db::CStatementJournal::Entry> out;
    std::uint64_t from = journal->FirstWaiting();
    while (true) {
        const std::size_t before = out.size();
        from = journal->Read(from, 256, out);
        if (out.size() == before) {
            break;
        }
    }
    std::uint64_t last = 0;
    for (const auto& [seq, command] : out) {
        // Written, in order, once, and the very statement of that seq.
        if (seq <= last || seq > static_cast<std::uint64_t>(kStatements) ||
            command.text() != Fix(static_cast<int>(seq - 1)).text()) {
            __builtin_trap();
        }
        last = seq;
    }
    // A done mark lost with the damage makes earlier statements wait again
    // (sent twice, applied once): the open's counts must still add up.
    if (journal->WaitingAtOpen() != out.size()) {
        __builtin_trap();
    }
    return 0;
}
