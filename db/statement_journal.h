#pragma once
// The statement journal: every statement queued for the database is appended
// here first, so that neither a stop, a crash nor a long database outage
// loses it. Statements get consecutive sequence numbers; the queue reports
// how far everything has left it (committed, or dropped as rejected) with
// MarkDone, and segments whose statements are all done are deleted.
//
// On disk: a folder of segment files "seg-NNNNNNNN.jnl" (db/journal_record.h
// gives their bytes), written in order. A writer thread hands appended records
// to the kernel as soon as they come and fsyncs at least every syncEvery, so
// a process crash loses nothing appended before it and a power cut loses at
// most that window. Opening the journal reads what an earlier run left: a
// record cut short or damaged at the end of a segment is dropped with a log
// line and everything before it kept.
//
// Threads: Append and MarkDone from any thread (the window thread appends);
// they only copy bytes into the writer's buffer. Read from one reader at a
// time (the database worker). The log sink is called from the thread that
// opens the journal and from the writer thread.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "db/sql_command.h"

namespace db {

struct JournalOptions {
    std::filesystem::path dir;
    // The longest a written record waits for its fsync.
    std::chrono::milliseconds syncEvery{100};
    // Past this, the oldest segment is deleted even with statements waiting
    // in it (counted and logged).
    std::uint64_t maxBytes = std::uint64_t{1024} << 20;
    // Size at which the writer starts a new segment; 0: a quarter of
    // maxBytes, at most 32 MiB.
    std::uint64_t segmentBytes = 0;
};

class CStatementJournal {
public:
    using LogSink = std::function<void(const std::string&)>;
    using Entry = std::pair<std::uint64_t, SqlCommand>;  // seq, statement

    // Opens the folder (created 0750 when missing) and reads what is left in
    // it. Null with `error` set when it cannot be used.
    static std::unique_ptr<CStatementJournal> Open(const JournalOptions& options, LogSink log,
                                                   std::string& error);
    // Writes and fsyncs what is buffered, then closes.
    ~CStatementJournal();
    CStatementJournal(const CStatementJournal&) = delete;
    CStatementJournal& operator=(const CStatementJournal&) = delete;

    // The first statement an earlier run left not done (NextSeq() when none).
    std::uint64_t FirstWaiting() const { return m_firstWaiting; }
    // The seq the next Append gets.
    std::uint64_t NextSeq() const;

    // Appends a statement and returns its seq. Never waits for the disk.
    std::uint64_t Append(const SqlCommand& command);
    // Every statement up to `doneUpTo` has left the queue.
    void MarkDone(std::uint64_t doneUpTo);

    // Up to `max` statements with seq >= from, in order, appended to `out`.
    // Returns the seq to read from next time. Statements deleted by the size
    // limit are skipped, so out's first seq can be above `from`.
    std::uint64_t Read(std::uint64_t from, std::size_t max, std::vector<Entry>& out);

    // Waits until everything appended so far is written (and fsynced when
    // `sync`).
    void Flush(bool sync);

    // Bytes of the segment files, buffered records included.
    std::uint64_t DiskBytes() const;
    // Statements deleted by the size limit before they were done.
    std::uint64_t RemovedWaiting() const;
    // Records found damaged or cut short when the journal was opened.
    std::uint64_t DamagedRecords() const { return m_damaged; }
    const std::filesystem::path& Dir() const { return m_options.dir; }

private:
    struct Segment {
        std::filesystem::path path;
        std::uint32_t index = 0;
        std::uint64_t firstSeq = 0;  // 0: holds no statement
        std::uint64_t lastSeq = 0;
        std::uint64_t bytes = 0;  // whole records written (the reader's end)
    };

    explicit CStatementJournal(JournalOptions options, LogSink log);
    bool Recover(std::string& error);
    bool ScanSegment(Segment& segment, bool last, std::uint64_t& maxSeq);
    bool StartSegment(std::uint32_t index, std::string& error);  // writer (or Open)
    void WriterLoop();
    void ReclaimLocked(std::vector<std::filesystem::path>& unlink);
    void Log(const std::string& line) const;

    JournalOptions m_options;
    LogSink m_log;
    std::uint64_t m_firstWaiting = 1;
    std::uint64_t m_damaged = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_wakeWriter;
    std::condition_variable m_progress;
    // Guarded by m_mutex:
    std::string m_pending;  // records not yet handed to the writer's file
    std::uint64_t m_pendingFirst = 0, m_pendingLast = 0;  // statements in m_pending
    std::uint64_t m_nextSeq = 1;
    std::uint64_t m_done = 0;        // highest done mark appended
    std::deque<Segment> m_segments;  // oldest first; the back one is written to
    std::uint64_t m_ticket = 0;      // counts appends and done marks
    std::uint64_t m_writtenTicket = 0;
    std::uint64_t m_syncedTicket = 0;
    bool m_syncWanted = false;
    bool m_stop = false;
    std::uint64_t m_removedWaiting = 0;

    int m_fd = -1;  // the back segment; the writer's once it runs
    std::thread m_writer;

    // The reader's place (reader only): the next record of a segment.
    std::uint32_t m_readIndex = 0;
    std::uint64_t m_readOffset = 0;
    std::uint64_t m_readSeq = 0;
};

}  // namespace db
