#pragma once
// The center's journal: every numbered event for the event servers is written
// here, and synced, before it is sent to them and before the terminal whose
// report made it is answered; it stays until every acknowledging event server
// has acknowledged it. A center killed at any moment therefore starts again
// with every event a terminal was told the center has, under the same epoch
// and numbers, and sends the event servers what they had not acknowledged.
//
// On disk (under the data folder): `epoch` (the numbering's name, written
// once) and segment files "seg-NNNNNNNN.jnl" of journal/record.h records:
//   entry  seq = the event's number, payload = its protocol line
//   done   seq = what every event server has acknowledged, payload = each
//          event server's own mark, "user\tseq\n" per line
// A new segment starts with a done record, so the marks survive the deletion
// of the segments before it. The segment being written is made longer ahead
// of its records, with zeros; the open takes zeros after the last record for
// that, and a close cuts them off.
//
// Thread: append, acknowledged and full are the io thread's; a writer thread
// of its own writes and syncs; `durable` is called on the writer's thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "centerlink/event_log.h"
#include "centerlink/event_server_hub.h"

namespace center {

// The first bytes of a segment: not the event server's, whose records differ.
inline constexpr std::string_view kCenterSegmentMagic{"VRDCJN01", 8};

class CenterJournal : public centerlink::EventLog {
public:
    struct Options {
        std::filesystem::path dir;
        // Past this many bytes on disk (and waiting to be written), `full`
        // says so and the center refuses new reports until acknowledgements
        // free room.
        std::uint64_t maxBytes = std::uint64_t{1} << 30;
        std::uint64_t segmentBytes = 32u << 20;
        std::function<void(const std::string&)> log;
        // Every event up to the number given is synced (called with each
        // advance, on the writer's thread).
        std::function<void(std::uint64_t)> durable;
        // Runs a task on the appending thread once what it is handling now
        // is done (asio::post on its io_context; the center defers it to
        // the end of the io thread's pass, net/run_in_passes.h, which takes
        // every report of the pass along). With it, the writer is
        // woken once for all the events of such a turn, and syncs them
        // together, rather than once per event; without it, at each event.
        std::function<void(std::function<void()>)> later;
        // A sync starts no sooner than this after the previous one started:
        // under a steady stream of reports the writer syncs (and wakes, and
        // tells the io thread) at most so often, each sync taking every
        // report since, at the price of answers up to this much later. A
        // report after a quiet spell is synced at once. While the events come
        // too thinly to fill the syncs, the interval stretches up to four
        // times itself (the writer's pace, net/batch_pace.h). 0: every
        // hand-over is synced as soon as the writer is free.
        std::chrono::microseconds syncInterval{0};
        // Acknowledged events kept on disk while fewer than this many came
        // after them (and while they take at most a quarter of maxBytes):
        // after a crash a terminal sends again a report whose answer was
        // lost, and the next start tells it from a new one only by the
        // events it reads back. 0: a segment goes once acknowledged.
        std::uint64_t keepRecentEvents = 0;
    };
    struct Entry {
        std::uint64_t seq = 0;
        std::string line;
    };
    // What an earlier run left.
    struct Restored {
        std::uint64_t epoch = 0;
        std::uint64_t lastSeq = 0;                   // the highest number on disk
        std::uint64_t done = 0;                      // what every event server had acknowledged
        std::map<std::string, std::uint64_t> acked;  // by event server user
        // Every entry read, in order: those above `done` wait for event
        // servers, the others tell fixes sent again apart.
        std::vector<Entry> entries;
        std::uint64_t missing = 0;  // entries lost to damage
    };

    explicit CenterJournal(Options options);
    ~CenterJournal() override;
    CenterJournal(const CenterJournal&) = delete;
    CenterJournal& operator=(const CenterJournal&) = delete;

    // Reads what is on disk, draws an epoch for a new journal, and starts
    // the writer; the error text, empty on success.
    std::string open(Restored& restored);
    // Writes what waits, syncs it and ends the writer.
    void close();

    void append(std::uint64_t seq, const std::string& line) override;
    // Every event server has acknowledged up to `everyone`; `users` holds
    // each one's mark.
    void acknowledged(std::uint64_t everyone,
                      const std::map<std::string, std::uint64_t>& users) override;
    // The bound is reached: nothing more should be appended. Acknowledged
    // events kept for keepRecentEvents do not count toward it.
    bool full() const { return full_.load(std::memory_order_relaxed); }
    std::uint64_t durableSeq() const { return durable_.load(std::memory_order_acquire); }
    std::uint64_t bytesOnDisk() const { return onDisk_.load(std::memory_order_relaxed); }

private:
    struct Segment {
        std::uint32_t index = 0;
        std::uint64_t lastSeq = 0;  // the highest entry in it
        std::uint64_t bytes = 0;
    };

    void run();
    void log(const std::string& line) const;
    // Opens a new segment that starts with the current marks; false on error.
    bool startSegment(std::string& error);
    // Makes the current segment's next `size` bytes already on disk (zeros,
    // synced) where it can: a sync of records written over them then writes
    // the data alone, not the file's size and blocks as well (on ext4 a
    // journal commit of its own, and one more wait of the writer, every
    // sync). A saving, not a need: on a disk too full for the room the
    // records are written all the same.
    void prepareRoom(std::size_t size);
    // Writes at the segment's end (its records' end, not the file's).
    bool writeAll(const std::string& bytes, std::string& error);
    void dropAcknowledgedSegments(std::uint64_t done);
    void updateFull();
    // Wakes the writer now, or once the appending thread's turn is over.
    void wakeWriter();
    // Hands the turn's events to the writer (under the lock).
    void handOver();
    std::string doneRecord(std::uint64_t done,
                           const std::map<std::string, std::uint64_t>& users) const;

    Options options_;
    std::thread writer_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    // What ends the writer's wait between syncs early: only the stop (new
    // events during it would only wake it for nothing).
    std::condition_variable stopWake_;
    // Guarded by mutex_: what the io thread hands the writer.
    std::string pending_;
    std::uint64_t pendingLastSeq_ = 0;
    bool marksChanged_ = false;
    std::uint64_t everyone_ = 0;
    std::map<std::string, std::uint64_t> users_;
    bool stopping_ = false;
    // The writer waits for work on wake_: only then does handing it some
    // notify it (a notify with the writer busy or sleeping out the sync
    // interval would cost a system call a pass for nothing).
    bool writerIdle_ = false;
    // The appending thread's: a wake-up of the writer is queued with `later`,
    // and until it runs the turn's events wait here rather than in pending_:
    // a writer done with its last sync takes the whole turn, not its first
    // events alone (each its own sync), and the lock is taken once a turn.
    bool wakeQueued_ = false;
    std::string turn_;
    std::uint64_t turnLastSeq_ = 0;
    // The writer's own.
    int fd_ = -1;
    std::uint64_t prepared_ = 0;    // the current segment's bytes on disk, records or zeros
    std::deque<Segment> segments_;  // oldest first; the last is written
    std::uint32_t nextIndex_ = 0;   // past every segment name in the folder
    std::uint64_t writtenSeq_ = 0;
    std::atomic<std::uint64_t> durable_{0};
    std::atomic<std::uint64_t> onDisk_{0};
    // Of onDisk_, the segments every event server has acknowledged, kept for
    // keepRecentEvents.
    std::atomic<std::uint64_t> keptBytes_{0};
    std::atomic<std::uint64_t> pendingBytes_{0};
    std::atomic<bool> full_{false};
};

// Forgets the marks of event servers that are not among `users` (taken out
// for good): their marks would keep every event until the bound. The names
// forgotten.
std::vector<std::string> DropMarksOfOthers(CenterJournal::Restored& restored,
                                           const std::vector<centerlink::Credentials>& users);

// The marks a done record's payload holds; false when it does not decode.
bool DecodeMarks(std::string_view payload, std::map<std::string, std::uint64_t>& users);

}  // namespace center
