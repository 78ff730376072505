#pragma once
// Reading what a segment file holds when the journal opens: every whole
// record, and past a damaged stretch (a disk fault, a stray write, a torn
// write followed by later ones) the next record whose length, checksum and
// sequence number all check, so that one bad byte costs only the records it
// touched.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vardo::journal {

struct SegmentScan {
    struct Run {  // consecutive entry seqs, in the order found
        std::uint64_t first = 0;
        std::uint64_t last = 0;
    };
    struct Hole {  // damaged bytes [from, to): the next whole record starts at `to`
        std::size_t from = 0;
        std::size_t to = 0;
    };
    std::vector<Run> runs;
    std::vector<Hole> holes;
    std::uint64_t entries = 0;
    std::uint64_t maxDone = 0;  // the highest done mark
    // Where the whole records end. Below bytes.size() only when the segment
    // ends in damage that no whole record follows (a write cut short).
    std::size_t end = 0;
};

// Scans `bytes` (a segment's, its magic included) from `offset`, the first
// record. Entry seqs within one segment only grow, which is what makes a
// record found after damage believable; a done mark after damage may not
// claim more entries than the damaged bytes could have held.
SegmentScan ScanSegmentBytes(std::string_view bytes, std::size_t offset);

}  // namespace vardo::journal
