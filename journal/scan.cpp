#include "journal/scan.h"

#include <algorithm>

#include "journal/record.h"

namespace vardo::journal {
namespace {

// The first offset after `from` where a believable record starts, or
// bytes.size() when none does.
std::size_t Resync(std::string_view bytes, std::size_t from, std::uint64_t lastSeq) {
    for (std::size_t at = from + 1; at + kHeaderSize <= bytes.size(); ++at) {
        Record record;
        if (ReadRecord(bytes.substr(at), record) != ReadStatus::Ok) {
            continue;
        }
        if (record.type == RecordType::Entry) {
            if (record.seq > lastSeq) {
                return at;
            }
        } else if (record.seq <= lastSeq + (at - from) / kHeaderSize) {
            return at;
        }
    }
    return bytes.size();
}

}  // namespace

SegmentScan ScanSegmentBytes(std::string_view bytes, std::size_t offset) {
    SegmentScan scan;
    scan.end = offset;
    std::uint64_t lastSeq = 0;
    while (offset < bytes.size()) {
        Record record;
        const ReadStatus status = ReadRecord(bytes.substr(offset), record);
        if (status != ReadStatus::Ok) {
            const std::size_t next = Resync(bytes, offset, lastSeq);
            if (next >= bytes.size()) {
                break;  // damage to the end: a write cut short
            }
            scan.holes.push_back({offset, next});
            offset = next;
            continue;
        }
        if (record.type == RecordType::Entry) {
            if (record.seq <= lastSeq) {
                // Whole and checked, yet out of order: only a writer of
                // another version makes that. Skip it as damage.
                scan.holes.push_back({offset, offset + record.size});
            } else {
                if (!scan.runs.empty() && scan.runs.back().last + 1 == record.seq) {
                    scan.runs.back().last = record.seq;
                } else {
                    scan.runs.push_back({record.seq, record.seq});
                }
                ++scan.entries;
                lastSeq = record.seq;
            }
        } else {
            scan.maxDone = std::max(scan.maxDone, record.seq);
        }
        offset += record.size;
        scan.end = offset;
    }
    return scan;
}

}  // namespace vardo::journal
