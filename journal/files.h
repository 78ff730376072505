#pragma once
// File helpers a journal's writer and its open share: segment names, whole
// reads, a folder's sync.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace vardo::journal {

std::string SystemError(const std::string& what, int error);

// "seg-0000002a.jnl" for 42.
std::string SegmentName(std::uint32_t index);
// The index of a segment file name, or false for any other file.
bool SegmentIndex(const std::string& name, std::uint32_t& index);

// Reads up to `size` bytes at `offset` into `out`; fewer only at the end of
// the file. False (errno set) when the read fails.
bool ReadAt(int fd, std::uint64_t offset, std::size_t size, std::string& out);

// Makes a file's creation or removal in `dir` durable.
void SyncDir(const std::filesystem::path& dir);

}  // namespace vardo::journal
