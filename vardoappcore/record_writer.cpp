#include "vardoappcore/record_writer.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "vardoappcore/library_log.h"

namespace vardo {

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
    void write(Job& job);

    const std::size_t maxQueuedBytes;
    mutable std::mutex mutex;
    std::condition_variable wake;     // a job came, or stop
    std::condition_variable settled;  // the thread has ended
    std::deque<Job> jobs;             // guarded by mutex
    WriterCounters counters;          // guarded by mutex
    bool stopping = false;            // guarded by mutex
    bool ended = false;               // guarded by mutex
};

void RecordWriter::State::run() {
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !jobs.empty(); });
        if (jobs.empty()) {
            break;  // stopping, and everything is written
        }
        Job job = std::move(jobs.front());
        jobs.pop_front();
        counters.queuedBytes -= job.bytes.size();
        lock.unlock();
        write(job);
        job = Job();  // the last reference to a finished recording goes here
        lock.lock();
    }
    ended = true;
    settled.notify_all();
}

void RecordWriter::State::write(Job& job) {
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
    if (!ok && !wasFailed) {
        recording.markFailed();
        logLine("recording of " + recording.label() + " to '" + recording.path() +
                "' failed: " + file.error() + "; it has stopped");
    }
    const std::lock_guard lock(mutex);
    if (!ok) {
        if (!wasFailed) {
            ++counters.failed;
        }
        return;
    }
    if (job.kind == Kind::Video) {
        ++counters.framesWritten;
    } else if (job.kind == Kind::Audio) {
        ++counters.audioBlocksWritten;
    } else {
        ++counters.finished;
        const AviFileCounters& c = file.counters();
        logLine("recording of " + recording.label() + " to '" + recording.path() +
                "' finished: " + std::to_string(c.videoFrames) + " video frames (" +
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
    s.wake.notify_one();
    return true;
}

void RecordWriter::finish(const std::shared_ptr<Recording>& recording, const StreamSetup& setup) {
    State& s = *state_;
    const std::lock_guard lock(s.mutex);
    s.jobs.push_back(State::Job{recording, Kind::Finish, {}, 0, setup});
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
