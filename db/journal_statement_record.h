#pragma once
// The statement journal's records (journal/record.h frames them): each entry
// carries one queued statement, and a done record's seq says every statement
// up to it has left the queue (committed, or dropped as rejected).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "db/sql_command.h"
#include "journal/files.h"
#include "journal/record.h"
#include "journal/scan.h"

namespace db::journal {

// The framing, the segment files and the scan are the shared journal's.
using namespace vardo::journal;

inline constexpr std::string_view kSegmentMagic{"VRDJRN01", 8};

void AppendStatementRecord(std::string& out, std::uint64_t seq, const SqlCommand& command);

// The statement a statement record carries; nullopt when the payload does not
// decode (it passed the checksum, so only a writer of another version could
// have made it).
std::optional<SqlCommand> DecodeStatement(std::string_view payload);

}  // namespace db::journal
