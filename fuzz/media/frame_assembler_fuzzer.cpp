// Feeds a peer's datagrams to the reassembly of three streams that share one
// memory, with small caps so that they are reached: besides "no crash", the
// bytes held never pass a cap, the shared count is the sum of the streams',
// and a delivered frame is exactly its fragments.
//
// Input: records of [stream 0-2][sequence delta, i8][fragment index][fragment
// count][payload size] followed by that many payload bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "vardoappcore/frame_assembler.h"

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vardo;
    const AssemblerLimits limits{.maxPendingFrames = 4,
                                 .maxFragments = 64,
                                 .maxPendingBytes = 16 * 1024,
                                 .maxAhead = 16,
                                 .restartDistance = 40,
                                 .restartRun = 3};
    ReassemblyMemory memory(32 * 1024);
    std::vector<std::unique_ptr<FrameAssembler>> streams;
    for (int i = 0; i < 3; ++i) {
        streams.push_back(std::make_unique<FrameAssembler>(limits, &memory));
    }
    std::uint32_t sequence = 0xFFFFFFF0u;  // wraps soon
    std::size_t pos = 0;
    while (pos + 5 <= size) {
        const std::size_t stream = data[pos] % streams.size();
        sequence += static_cast<std::uint32_t>(static_cast<std::int8_t>(data[pos + 1]));
        const std::uint16_t index = data[pos + 2] % 80;
        const std::uint16_t count = data[pos + 3] % 80;
        const std::size_t length = data[pos + 4] * 8u;
        pos += 5;
        const std::size_t take = std::min(length, size - pos);
        const std::span<const std::uint8_t> payload(data + pos, take);
        pos += take;
        const protocol::MediaHeader header{
            protocol::MediaKind::Video, 1, sequence, sequence / 4ULL, index, count};
        if (count == 0) {
            continue;  // the decoder refuses these before reassembly
        }
        const auto frame = streams[stream]->add(header, payload);
        if (frame) {
            check(frame->sequence == sequence);
            check(frame->bytes.size() <= static_cast<std::size_t>(count) * 2040);
        }
        std::size_t sum = 0;
        for (const auto& s : streams) {
            check(s->pendingBytes() <= limits.maxPendingBytes);
            check(s->pendingFrames() <= limits.maxPendingFrames);
            sum += s->pendingBytes();
        }
        check(sum == memory.used());
        check(memory.used() <= memory.limit());
    }
    streams.clear();
    check(memory.used() == 0);
    return 0;
}
