// The center's journal of known events, damaged where the input says, opened
// again. Whatever the damage (bytes changed, a segment cut, zeroed or
// removed, the epoch file changed), the open must not crash, and what it
// gives back must be events that were written, in order, once each, with
// their own lines, under a done mark no later than the one written.
//
// Input: a list of edits, 4 bytes each: file (1 byte), kind (1 byte),
// position (2 bytes, a fraction of the file's size).
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "center/center_journal.h"

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
    return center::CenterJournal::Options{dir, std::uint64_t{1} << 30, 16u << 10, {}, {}};
}

// The undamaged journal, written once: its files' bytes by name.
const std::vector<std::pair<std::string, std::string>>& Pristine() {
    static const std::vector<std::pair<std::string, std::string>> files = [] {
        const fs::path dir = Dir() / "pristine";
        {
            center::CenterJournal journal(OptionsFor(dir));
            center::CenterJournal::Restored restored;
            if (!journal.open(restored).empty()) {
                return std::vector<std::pair<std::string, std::string>>{};
            }
            for (std::uint64_t seq = 1; seq <= kEvents; ++seq) {
                journal.append(seq, Line(seq));
            }
            journal.acknowledged(kDone, {{"root", kDone}});
            journal.close();
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
        const std::size_t k = data[i] % files.size();
        std::string& bytes = files[k].second;
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
                removed[k] = true;
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
