#include "vardoappcore/record_writer.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "vardoappcore/library_log.h"

namespace vardo {

namespace {

// How long frames gather while recordings run before the thread writes
// them. They are in memory meanwhile, as they would be in libavformat's
// buffer; a finish or a stop does not wait for it.
constexpr std::chrono::milliseconds kGather{10};

}  // namespace

struct RecordWriter::State {
    struct Job {
        std::shared_ptr<Recording> recording;
        Kind kind = Kind::Video;
        std::vector<std::uint8_t> bytes;
        std::uint64_t timestampMs = 0;
        StreamSetup setup;
    };

    explicit State(std::size_t maxBytes) : maxQueuedBytes(maxBytes) {}

    void run();
    // Writes one job; counts into `done`.
    void write(Job& job, WriterCounters& done);
    void wakeLocked() {
        if (idle) {
            wake.notify_one();
        }
    }

    const std::size_t maxQueuedBytes;
    mutable std::mutex mutex;
    std::condition_variable wake;     // a job came, or stop
    std::condition_variable settled;  // the thread has ended
    std::deque<Job> jobs;             // guarded by mutex
    // Guarded by mutex. queuedBytes counts the batch being written too: it
    // is memory all the same.
    WriterCounters counters;
    bool idle = false;       // guarded by mutex: the thread waits for work
    bool finishing = false;  // guarded by mutex: a file waits to be finished
    bool stopping = false;   // guarded by mutex
    bool ended = false;      // guarded by mutex
};

void RecordWriter::State::run() {
    std::unique_lock lock(mutex);
    // The last turn wrote something: more is coming (recordings run), so
    // the next turn takes what gathered meanwhile rather than being woken
    // for every pass of the I/O thread with a frame or two of each channel.
    bool gathering = false;
    for (;;) {
        if (gathering) {
            wake.wait_for(lock, kGather, [this] { return stopping || finishing; });
        } else {
            idle = true;
            wake.wait(lock, [this] { return stopping || !jobs.empty(); });
            idle = false;
        }
        if (jobs.empty()) {
            if (stopping) {
                break;  // everything is written
            }
            gathering = false;  // nothing came: wait to be woken
            continue;
        }
        gathering = true;
        // The whole queue at once: one lock a batch, not one a frame.
        std::deque<Job> batch;
        batch.swap(jobs);
        finishing = false;
        lock.unlock();
        WriterCounters done;
        std::size_t bytes = 0;
        for (Job& job : batch) {
            bytes += job.bytes.size();
            write(job, done);
        }
        batch.clear();  // the last references to finished recordings go here
        lock.lock();
        counters.queuedBytes -= bytes;
        counters.framesWritten += done.framesWritten;
        counters.audioBlocksWritten += done.audioBlocksWritten;
        counters.finished += done.finished;
        counters.empty += done.empty;
        counters.failed += done.failed;
    }
    ended = true;
    settled.notify_all();
}

void RecordWriter::State::write(Job& job, WriterCounters& done) {
    Recording& recording = *job.recording;
    AviFile& file = recording.file();
    const bool wasFailed = recording.failed();
    bool ok = !wasFailed;
    if (ok) {
        switch (job.kind) {
            case Kind::Video:
                ok = file.writeVideo(job.bytes, job.timestampMs, job.setup);
                break;
            case Kind::Audio:
                ok = file.writeAudio(job.bytes, job.timestampMs);
                break;
            case Kind::Finish:
                ok = file.finish(job.setup);
                break;
        }
    }
    if (!ok) {
        if (!wasFailed) {
            recording.markFailed();
            ++done.failed;
            logLine("recording of " + recording.label() + " to " + pathText(recording.path()) +
                    " failed: " + file.error() + "; it has stopped");
        }
        return;
    }
    if (job.kind == Kind::Video) {
        ++done.framesWritten;
    } else if (job.kind == Kind::Audio) {
        ++done.audioBlocksWritten;
    } else {
        ++done.finished;
        const AviFileCounters& c = file.counters();
        if (c.videoFrames == 0 && c.audioBytes == 0) {
            // Not a frame or a sound arrived (a wrong UDP port, a firewall):
            // an empty file would only look like a recording of nothing.
            ++done.empty;
            std::error_code ignored;
            std::filesystem::remove(recording.path(), ignored);
            logLine("recording of " + recording.label() + " to " + pathText(recording.path()) +
                    " got no media: the empty file is removed");
            return;
        }
        logLine("recording of " + recording.label() + " to " + pathText(recording.path()) +
                " finished: " + std::to_string(c.videoFrames) + " video frames (" +
                std::to_string(recording.lostFrames.load()) + " lost), " +
                std::to_string(c.audioBytes) + " audio bytes");
    }
}

RecordWriter::RecordWriter(std::size_t maxQueuedBytes)
    : state_(std::make_shared<State>(maxQueuedBytes)) {
    // The thread holds the state too: if stop() gives up on it, it can
    // still finish the files it has.
    thread_ = std::thread([state = state_] { state->run(); });
    pthread_setname_np(thread_.native_handle(), "vardo-rec");
}

RecordWriter::~RecordWriter() {
    stop(std::chrono::seconds(10));
}

bool RecordWriter::pushFrame(const std::shared_ptr<Recording>& recording, Kind kind,
                             std::vector<std::uint8_t> bytes, std::uint64_t timestampMs,
                             const StreamSetup& setup) {
    const bool queued = queueFrame(recording, kind, std::move(bytes), timestampMs, setup);
    wake();
    return queued;
}

void RecordWriter::wake() {
    State& s = *state_;
    {
        const std::lock_guard lock(s.mutex);
        if (s.jobs.empty() || !s.idle) {
            return;
        }
    }
    // Outside the lock, so that the thread does not wake only to wait for
    // it. It cannot miss this: it looks at the queue under the lock before
    // it waits.
    s.wake.notify_one();
}

bool RecordWriter::queueFrame(const std::shared_ptr<Recording>& recording, Kind kind,
                              std::vector<std::uint8_t> bytes, std::uint64_t timestampMs,
                              const StreamSetup& setup) {
    State& s = *state_;
    const std::lock_guard lock(s.mutex);
    if (s.stopping) {
        return false;
    }
    if (s.counters.queuedBytes + bytes.size() > s.maxQueuedBytes) {
        if (kind == Kind::Video) {
            ++s.counters.framesDropped;
            ++recording->lostFrames;
        }
        return false;
    }
    s.counters.queuedBytes += bytes.size();
    s.jobs.push_back(State::Job{recording, kind, std::move(bytes), timestampMs, setup});
    return true;
}

void RecordWriter::finish(const std::shared_ptr<Recording>& recording, const StreamSetup& setup) {
    State& s = *state_;
    const std::lock_guard lock(s.mutex);
    s.jobs.push_back(State::Job{recording, Kind::Finish, {}, 0, setup});
    s.finishing = true;
    s.wake.notify_one();
}

bool RecordWriter::stop(std::chrono::milliseconds limit) {
    if (!thread_.joinable()) {
        return true;
    }
    State& s = *state_;
    std::unique_lock lock(s.mutex);
    s.stopping = true;
    s.wake.notify_one();
    if (s.settled.wait_for(lock, limit, [&s] { return s.ended; })) {
        lock.unlock();
        thread_.join();
        return true;
    }
    lock.unlock();
    thread_.detach();
    logLine("recordings are still being written after " + std::to_string(limit.count() / 1000) +
            " s; they go on in the background");
    return false;
}

WriterCounters RecordWriter::counters() const {
    const std::lock_guard lock(state_->mutex);
    return state_->counters;
}

}  // namespace vardo
