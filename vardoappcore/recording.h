#pragma once
// One running recording of a channel: its file and what the threads that
// feed it need to know.
//
// Threads: created on the window thread (which opens the file), then
//   - `failed()` and the counters: any thread;
//   - `route`: the I/O thread only (it decides what goes to the file);
//   - `file()`: the record writer only, once the recording is handed over.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "vardoappcore/avi_file.h"

namespace vardo {

class Recording {
public:
    // `label` names the channel in log lines ("device 'X7' channel 1").
    Recording(std::string label, std::unique_ptr<AviFile> file)
        : label_(std::move(label)), file_(std::move(file)) {}

    const std::string& label() const { return label_; }
    const std::string& path() const { return file_->path(); }

    // The file could not be written: the recording has ended by itself.
    bool failed() const { return failed_.load(); }
    void markFailed() { failed_ = true; }

    AviFile& file() { return *file_; }

    // What the I/O thread has decided for this file.
    struct Route {
        bool headerSent = false;  // the first video frame has gone to the writer
        int audioRate = 0;        // of the header's audio stream; 0: none
        bool haveSequence = false;
        std::uint32_t lastVideoSequence = 0;
    };
    Route route;

    // Video frames that did not reach the file: lost on the way (sequence
    // numbers skipped) or dropped because the writer was behind.
    std::atomic<std::uint64_t> lostFrames{0};

private:
    std::string label_;
    std::unique_ptr<AviFile> file_;
    std::atomic<bool> failed_{false};
};

}  // namespace vardo
