#pragma once
// The thread that writes recordings, so that neither the window thread nor
// the network thread ever waits for the disk. Frames wait in a queue bounded
// in bytes; when the disk cannot keep up, new frames are dropped (and
// counted against their recording) rather than held in memory without end.
// A request to finish a file is never dropped. While frames keep coming
// the thread takes what gathered every 10 ms rather than being woken for
// each handful; a finish or a stop wakes it at once.
//
// Threads: pushFrame(), queueFrame(), wake() and finish() from one thread at
// a time (the I/O thread); stop() after the last of them. The thread owns its state jointly
// with this object, so a stop that gives up waiting leaves it nothing
// dangling.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "vardoappcore/avi_file.h"
#include "vardoappcore/recording.h"

namespace vardo {

struct WriterCounters {
    std::uint64_t framesWritten = 0;  // video
    std::uint64_t audioBlocksWritten = 0;
    std::uint64_t framesDropped = 0;  // the queue was full
    std::uint64_t finished = 0;       // files closed with their index
    std::uint64_t empty = 0;          // of those, files that got no media: removed
    std::uint64_t failed = 0;         // files that could not be written
    std::size_t queuedBytes = 0;
};

class RecordWriter {
public:
    enum class Kind { Video, Audio, Finish };

    explicit RecordWriter(std::size_t maxQueuedBytes = 256 * 1024 * 1024);
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // False when the queue is full and the frame was dropped.
    bool pushFrame(const std::shared_ptr<Recording>& recording, Kind kind,
                   std::vector<std::uint8_t> bytes, std::uint64_t timestampMs,
                   const StreamSetup& setup);
    // The same without waking the thread: the frames that came together
    // (a pass of the I/O thread) are written after one wake-up, which
    // wake() gives.
    bool queueFrame(const std::shared_ptr<Recording>& recording, Kind kind,
                    std::vector<std::uint8_t> bytes, std::uint64_t timestampMs,
                    const StreamSetup& setup);
    void wake();
    // Writes the index and closes the file after what is queued for it.
    void finish(const std::shared_ptr<Recording>& recording, const StreamSetup& setup);

    // Lets the thread write what is queued and end. False when it has not
    // done so within `limit`: it is then left to finish on its own.
    bool stop(std::chrono::milliseconds limit);

    WriterCounters counters() const;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace vardo
