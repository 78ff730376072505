#pragma once
// The bytes of a journal: a segment file is a magic (its owner's) followed by
// records, each framed and checked by itself so that a record cut short or
// damaged (a power cut mid-write) is told apart from the whole ones before it.
//
//   record  = crc32c (u32) | length (u32) | type (u8) | seq (u64) | payload
//   crc32c  covers everything after itself: length, type, seq and payload
//   length  = the payload's size in bytes
//
// Integers are little-endian. An entry record's seq is its place in the
// journal; a done record's seq says every entry up to it is no longer needed,
// and its payload (often empty) is its owner's.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vardo::journal {

inline constexpr std::size_t kHeaderSize = 4 + 4 + 1 + 8;
// Larger than any entry the journals' owners write (their texts are capped);
// a length past it is damage, not a record.
inline constexpr std::uint32_t kMaxPayload = 16u << 20;

enum class RecordType : std::uint8_t { Entry = 1, Done = 2 };

std::uint32_t Crc32c(const void* data, std::size_t size, std::uint32_t crc = 0);

void AppendRecord(std::string& out, RecordType type, std::uint64_t seq, std::string_view payload);
// The same record with its payload written in place: AppendRecordHeader
// makes room for the header and `payloadSize` bytes at the end of `out` and
// returns where the payload goes; the caller writes exactly that many bytes
// there, then FinishRecord(out, start) checksums the record, `start` being
// out.size() before the first call. Saves a copy of every payload.
char* AppendRecordHeader(std::string& out, RecordType type, std::uint64_t seq,
                         std::size_t payloadSize);
void FinishRecord(std::string& out, std::size_t start);
void AppendDoneRecord(std::string& out, std::uint64_t doneUpTo, std::string_view payload = {});

struct Record {
    RecordType type = RecordType::Done;
    std::uint64_t seq = 0;
    std::string_view payload;
    std::size_t size = 0;  // bytes taken, header included
};

enum class ReadStatus {
    Ok,       // `out` holds the record at the front of `bytes`
    End,      // `bytes` is empty
    Torn,     // a record starts but the bytes end inside it
    Corrupt,  // the checksum, the length or the type is wrong
};

// Reads the record at the front of `bytes`; never reads past them.
ReadStatus ReadRecord(std::string_view bytes, Record& out);

}  // namespace vardo::journal
