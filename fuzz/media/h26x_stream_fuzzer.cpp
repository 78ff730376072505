// Feeds a terminal's access units, as they come, to what a recording reads
// of them, for both codecs: besides "no crash", the kind is the same whether
// read alone or while keeping sets, kept sets are what a file may start
// with, and a frame with the kept sets in front of it still ends in the
// frame itself, byte for byte.
//
// Input: [flags] then the access unit's bytes. Bit 0 of the flags: H.265.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "vardoappcore/h26x_stream.h"

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vardo;
    if (size < 1) {
        return 0;
    }
    const H26xCodec codec = (data[0] & 1) != 0 ? H26xCodec::H265 : H26xCodec::H264;
    const std::span<const std::uint8_t> unit(data + 1, size - 1);
    const AccessUnitInfo alone = inspectAccessUnit(unit, codec);
    ParameterSets sets(codec);
    const AccessUnitInfo kept = sets.take(unit);
    check(alone.randomAccess == kept.randomAccess);
    check(!alone.sps || kept.sps);
    check(!alone.pps || kept.pps);
    // Twice: the second pass replaces what the first kept.
    sets.take(unit);
    const std::vector<std::uint8_t> whole = sets.prepend(unit);
    check(whole.size() >= unit.size());
    check(std::equal(unit.begin(), unit.end(),
                     whole.end() - static_cast<std::ptrdiff_t>(unit.size())));
    const AccessUnitInfo after = inspectAccessUnit(whole, codec);
    check(!sets.complete() || !alone.randomAccess || (after.sps && after.pps));
    return 0;
}
