// The center's journal of known events, damaged where the input says, opened
// again. Whatever the damage (bytes changed, a segment cut, zeroed or
// removed, the epoch file changed), the open must not crash, and what it
// gives back must be events that were written, in order, once each, with
// their own lines, under a done mark no later than the one written.
//
// Input: a list of edits, 4 bytes each: file (1 byte), kind (1 byte),
// position (2 bytes, a fraction of the file's size).
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "center/center_journal.h"
#include "fuzz/common/folder_damage.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kEvents = 600;
constexpr std::uint64_t kDone = 40;

std::string Line(std::uint64_t seq) {
    return R"({"op":"gps","dev":"13912340000","gps":"fix )" + std::to_string(seq) + "\"}\n";
}

const fs::path& Dir() {
    static const fs::path dir = [] {
        char name[] = "/tmp/vardo-center-journal-damage-XXXXXX";
        return fs::path(mkdtemp(name) != nullptr ? name : "/tmp/vardo-center-journal-damage");
    }();
    return dir;
}

center::CenterJournal::Options OptionsFor(const fs::path& dir) {
    return center::CenterJournal::Options{dir, std::uint64_t{1} << 30, 16u << 10, {}, {}, {}};
}

// The undamaged journal, written once: its files' bytes by name.
const fuzzing::FolderFiles& Pristine() {
    static const fuzzing::FolderFiles files = [] {
        const fs::path dir = Dir() / "pristine";
        {
            center::CenterJournal journal(OptionsFor(dir));
            center::CenterJournal::Restored restored;
            if (!journal.open(restored).empty()) {
                return fuzzing::FolderFiles{};
            }
            for (std::uint64_t seq = 1; seq <= kEvents; ++seq) {
                journal.append(seq, Line(seq));
            }
            journal.acknowledged(kDone, {{"root", kDone}});
            journal.close();
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
    center::CenterJournal journal(OptionsFor(dir));
    center::CenterJournal::Restored restored;
    if (!journal.open(restored).empty()) {
        return 0;  // a damaged epoch stops the open, as it should
    }
    std::uint64_t last = 0;
    for (const auto& entry : restored.entries) {
        if (entry.seq <= last || entry.seq > kEvents || entry.line != Line(entry.seq)) {
            __builtin_trap();
        }
        last = entry.seq;
    }
    if (restored.done > kDone || restored.lastSeq > kEvents) {
        __builtin_trap();
    }
    journal.close();
    return 0;
}
