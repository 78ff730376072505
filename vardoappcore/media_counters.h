#pragma once
// What the media side of an instance has received and written, for tests,
// benchmarks and diagnosis. Not part of the device library's API.

#include <cstdint>

#include "vardoappcore/api/vardo_app_core.h"

namespace vardo {

struct MediaCounters {
    // Datagrams.
    std::uint64_t datagrams = 0;
    std::uint64_t rejectedDatagrams = 0;  // not media of this protocol
    std::uint64_t unknownStream = 0;
    std::uint64_t strangerDatagrams = 0;  // not from the server's media port: dropped
    std::uint64_t lateFragments = 0;
    std::uint64_t duplicateFragments = 0;
    std::uint64_t inconsistentFragments = 0;
    std::uint64_t outOfWindowFragments = 0;  // far from their stream's window: dropped
    // Frames (video and audio).
    std::uint64_t framesAssembled = 0;
    std::uint64_t framesIncomplete = 0;   // dropped with fragments missing
    std::uint64_t framesMissing = 0;      // sequence numbers never delivered
    std::uint64_t framesEvicted = 0;      // in progress, dropped to keep within the memory caps
    std::uint64_t pendingFrameBytes = 0;  // held by frames in progress now
    // Recordings.
    std::uint64_t videoFramesWritten = 0;
    std::uint64_t audioBlocksWritten = 0;
    std::uint64_t framesDroppedByWriter = 0;  // its queue was full
    std::uint64_t recordingsFinished = 0;
    std::uint64_t recordingsEmpty = 0;  // of those, without any media: their files removed
    std::uint64_t recordingsFailed = 0;
    std::uint64_t writerQueuedBytes = 0;
    // The local UDP port media comes to; 0 while none is open.
    std::uint16_t udpPort = 0;
};

// The counters of an instance; all zero for an unknown handle.
MediaCounters mediaCounters(HVARDOAPP app);

}  // namespace vardo
