// A journal of known statements, damaged where the input says, opened and read
// back. Whatever the damage (bytes changed, a segment cut or removed), what
// comes back must be statements that were written, in order and once each,
// and what was read plus what the open names missing must be every statement
// not done: nothing may vanish unlogged.
//
// Input: a list of edits, 4 bytes each: segment (1 byte), kind (1 byte),
// position (2 bytes, a fraction of the segment's size).
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "db/statement_journal.h"

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
const std::vector<std::pair<std::string, std::string>>& Pristine() {
    static const std::vector<std::pair<std::string, std::string>> files = [] {
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
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& e : fs::directory_iterator(dir)) {
            std::ifstream in(e.path(), std::ios::binary);
            out.emplace_back(e.path().filename().string(),
                             std::string(std::istreambuf_iterator<char>(in), {}));
        }
        std::sort(out.begin(), out.end());
        return out;
    }();
    return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto files = Pristine();
    if (files.empty()) {
        return 0;
    }
    std::vector<bool> removed(files.size(), false);
    for (std::size_t i = 0; i + 4 <= size && i < 4 * 16; i += 4) {
        const std::size_t seg = data[i] % files.size();
        std::string& bytes = files[seg].second;
        if (bytes.empty()) {
            continue;
        }
        const std::size_t at =
            (static_cast<std::size_t>(data[i + 2]) << 8 | data[i + 3]) * bytes.size() / 65536;
        switch (data[i + 1] % 4) {
            case 0:
                bytes[at] = static_cast<char>(bytes[at] ^ (data[i + 1] | 1));
                break;
            case 1:
                bytes.resize(at);
                break;
            case 2:
                std::fill(
                    bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + 64)),
                    '\0');
                break;
            default:
                removed[seg] = true;
                break;
        }
    }
    const fs::path dir = Dir() / "damaged";
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir, ec);
    for (std::size_t k = 0; k < files.size(); ++k) {
        if (!removed[k]) {
            std::ofstream(dir / files[k].first, std::ios::binary) << files[k].second;
        }
    }
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
