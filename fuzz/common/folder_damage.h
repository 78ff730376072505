#pragma once
// For the fuzzers of files we read back after a crash (the journals): a
// folder's files as bytes, and the same files damaged where the fuzzer's
// input says, written into another folder.
//
// Input: a list of edits, 4 bytes each (at most 16): file (1 byte), kind
// (1 byte: bytes changed, the file cut, 64 bytes zeroed, or the file
// removed), position (2 bytes, a fraction of the file's size).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace fuzzing {

using FolderFiles = std::vector<std::pair<std::string, std::string>>;  // name, bytes

// Every file of `dir`, sorted by name.
inline FolderFiles ReadFolder(const std::filesystem::path& dir) {
    FolderFiles out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(e.path(), std::ios::binary);
        out.emplace_back(e.path().filename().string(),
                         std::string(std::istreambuf_iterator<char>(in), {}));
    }
    std::sort(out.begin(), out.end());
    return out;
}

// `files` damaged as `data` says, written into `dir` (emptied first).
inline void WriteDamaged(FolderFiles files, const std::uint8_t* data, std::size_t size,
                         const std::filesystem::path& dir) {
    std::vector<bool> removed(files.size(), false);
    for (std::size_t i = 0; !files.empty() && i + 4 <= size && i < 4 * 16; i += 4) {
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
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir, ec);
    for (std::size_t k = 0; k < files.size(); ++k) {
        if (!removed[k]) {
            std::ofstream(dir / files[k].first, std::ios::binary) << files[k].second;
        }
    }
}

}  // namespace fuzzing
