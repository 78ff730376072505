#pragma once
// The statement journal: every statement queued for the database is appended
// here first, so that neither a stop, a crash nor a long database outage
// loses it. Statements get consecutive sequence numbers; the queue reports
// how far everything has left it (committed, or dropped as rejected) with
// MarkDone, and segments whose statements are all done are deleted.
//
// On disk: a folder of segment files "seg-NNNNNNNN.jnl" (journal/record.h and
// db/journal_statement_record.h give their bytes), written in order. A writer thread hands appended
// records to the kernel as soon as they come (or, for appends that put off the wake, as soon as
// their run ends) and fsyncs at least every syncEvery, so a process crash loses nothing appended
// before it and a power cut loses at most that window. Opening the
// journal reads what an earlier run left: a record cut short or damaged at the end of a segment is
// dropped with a log line and everything before it kept.
//
// Threads: Append and MarkDone from any thread (the window thread appends);
// they only copy bytes into the writer's buffer. Read from one reader at a
// time (the database worker). The log sink is called from the thread that
// opens the journal and from the writer thread.

#include <sys/types.h>

#include <atomic>
#include <chrono>
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

#include "db/journal_wake.h"
#include "db/sql_command.h"

namespace db {

// The calls the writer makes on its files, as the system's: a test puts a
// full disk or a failing sync in their place.
class JournalFileCalls {
public:
    virtual ~JournalFileCalls() = default;
    virtual ssize_t Write(int fd, const void* data, std::size_t size);  // ::write
    virtual int Sync(int fd);                                           // ::fdatasync
    virtual int Truncate(int fd, off_t size);                           // ::ftruncate
};

struct JournalOptions {
    std::filesystem::path dir;
    // The longest a written record waits for its fsync. A writer with
    // nothing more to write syncs at once (syncGap apart); this bounds it
    // under steady load.
    std::chrono::milliseconds syncEvery{100};
    // Under a steady stream a sync starts no sooner than this after the one
    // before, so that one sync takes every record since (each costs the disk
    // a write of the data and the file's size, and the process a wake-up);
    // a record after a quiet spell is synced at once. The records are
    // written meanwhile all the same. Not longer than syncEvery.
    std::chrono::milliseconds syncGap{10};
    // Past this, the oldest segment is deleted even with statements waiting
    // in it (counted and logged).
    std::uint64_t maxBytes = std::uint64_t{1024} << 20;
    // Size at which the writer starts a new segment; 0: a quarter of
    // maxBytes, at most 32 MiB.
    std::uint64_t segmentBytes = 0;
    // The database the statements are for (the connection string without
    // its password). Segments written for another are left aside at the
    // open, never sent here. Empty: not checked.
    std::string target;
    // How long after a failed write the writer tries again.
    std::chrono::milliseconds retryEvery{500};
    // Null: the system's calls.
    std::shared_ptr<JournalFileCalls> files;
};

class CStatementJournal {
public:
    using LogSink = std::function<void(const std::string&)>;
    using Entry = std::pair<std::uint64_t, SqlCommand>;  // seq, statement

    // Opens the folder (created 0750 when missing) and reads what is left in
    // it. Null with `error` set when it cannot be used.
    static std::unique_ptr<CStatementJournal> Open(const JournalOptions& options, LogSink log,
                                                   std::string& error);
    // Close(0) unless closed before.
    ~CStatementJournal();
    CStatementJournal(const CStatementJournal&) = delete;
    CStatementJournal& operator=(const CStatementJournal&) = delete;

    // Writes and fsyncs what is buffered, giving a failing disk up to `wait`,
    // then stops the writer. Returns how many statements not yet done exist
    // nowhere on disk (never written, or deleted by the size limit while
    // held in memory): what the caller loses when it lets go of them now.
    std::uint64_t Close(std::chrono::milliseconds wait);

    // The first statement an earlier run left not done (NextSeq() when none).
    std::uint64_t FirstWaiting() const { return m_firstWaiting; }
    // Statements of earlier runs found whole and not done at the open.
    std::uint64_t WaitingAtOpen() const { return m_waitingAtOpen; }
    // Statements not done that an earlier run wrote but the open did not find
    // (damaged bytes, a deleted segment): logged as missing.
    std::uint64_t MissingAtOpen() const { return m_missingAtOpen; }
    // The seq the next Append gets.
    std::uint64_t NextSeq() const;

    // Appends a statement and returns its seq. Never waits for the disk.
    // `held`: the caller keeps this statement in memory until it is done
    // (it never reads it back), so the size limit deleting its record loses
    // nothing yet. With JournalWake::Later the writer is not woken for it:
    // the caller calls WakeWriter() after its run of appends (a wake costs
    // the appending thread more than the record); until then the record
    // waits in memory, for a few dozen such appends or syncEvery at most.
    std::uint64_t Append(const SqlCommand& command, bool held = false,
                         JournalWake wake = JournalWake::Now);
    // Wakes the writer for what was appended with JournalWake::Later.
    void WakeWriter();
    // Every statement up to `doneUpTo` has left the queue.
    void MarkDone(std::uint64_t doneUpTo);

    // Up to `max` statements with seq >= from, in order, appended to `out`;
    // the caller holds them from then on. Returns the seq to read from next
    // time. Statements missing from the journal (deleted by the size limit,
    // damaged) are skipped, so out's first seq can be above `from`; those not
    // yet on disk (a write failed) come in a later call.
    std::uint64_t Read(std::uint64_t from, std::size_t max, std::vector<Entry>& out);

    // Waits until everything appended so far was handed to the writer's file
    // (and fsynced when `sync`), or a write of it failed.
    void Flush(bool sync);

    // Statements not done that the segments hold (what a reopen would find,
    // damage aside).
    std::uint64_t WaitingOnDisk() const;
    // Every statement up to this seq is on disk and synced.
    std::uint64_t SyncedUpTo() const;
    // Bytes of the segment files, buffered records included.
    std::uint64_t DiskBytes() const;
    // Statements deleted by the size limit before they were done, held
    // nowhere in memory: lost.
    std::uint64_t RemovedWaiting() const;
    // Statements deleted by the size limit while held in memory.
    std::uint64_t RemovedHeld() const;
    // Statements appended that are not on disk because writes fail.
    std::uint64_t MemoryOnly() const;
    // Statements of another database's segments left aside at the open.
    std::uint64_t LeftAsideAtOpen() const { return m_leftAside; }
    // Damaged stretches found when the journal was opened.
    std::uint64_t DamagedRecords() const { return m_damaged; }
    const std::filesystem::path& Dir() const { return m_options.dir; }

private:
    struct Segment {
        std::filesystem::path path;
        std::uint32_t index = 0;
        std::uint64_t firstSeq = 0;  // 0: holds no statement
        std::uint64_t lastSeq = 0;
        std::uint64_t bytes = 0;        // whole records written (the reader's end)
        std::uint64_t syncedBytes = 0;  // of which synced
        // Damaged stretches found at the open: [from, to), skipped.
        std::vector<std::pair<std::uint64_t, std::uint64_t>> holes;
    };
    // Bytes of records with the statements among them.
    struct Batch {
        std::string bytes;
        std::uint64_t first = 0, last = 0;  // statements; 0 when none
        std::uint64_t statements = 0;
        void Take(Batch& other);            // moves other's records to the front
        void Append(Batch&& other);         // moves other's records to the back
        Batch TakeFront(std::size_t room);  // the front records that fit in `room`
    };

    explicit CStatementJournal(JournalOptions options, LogSink log);
    bool Recover(std::string& error);
    bool CheckTarget(std::string& error);
    bool ScanSegment(Segment& segment, bool last, std::uint64_t& maxSeq,
                     std::vector<std::pair<std::uint64_t, std::uint64_t>>& runs);
    void ReportWaiting(std::vector<std::pair<std::uint64_t, std::uint64_t>>& runs,
                       std::uint64_t maxSeq);
    bool StartSegment(std::uint32_t index, std::string& error);  // writer (or Open)
    void WriterLoop();
    bool WriteBatch(std::unique_lock<std::mutex>& lock, Batch& batch, bool roll);
    bool SyncSegment(std::unique_lock<std::mutex>& lock);
    void ReclaimLocked(std::vector<std::filesystem::path>& unlink);
    void Log(const std::string& line) const;

    JournalOptions m_options;
    LogSink m_log;
    std::uint64_t m_firstWaiting = 1;
    std::uint64_t m_waitingAtOpen = 0;
    std::uint64_t m_missingAtOpen = 0;
    std::uint64_t m_leftAside = 0;
    std::uint64_t m_damaged = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_wakeWriter;
    std::condition_variable m_progress;
    // Guarded by m_mutex:
    Batch m_pending;  // records not yet on disk, oldest first
    // Statements of the write under way (out of m_pending, not yet on disk).
    std::uint64_t m_writingStatements = 0;
    std::uint64_t m_nextSeq = 1;
    std::uint64_t m_done = 0;        // highest done mark appended
    std::uint64_t m_heldBelow = 1;   // statements below it are held by the caller
    std::deque<Segment> m_segments;  // oldest first; the back one is written to
    std::uint64_t m_ticket = 0;      // counts appends and done marks
    std::uint64_t m_writtenTicket = 0;
    std::uint64_t m_syncedTicket = 0;
    std::uint64_t m_writtenSeq = 0;  // statements up to it are in a segment file
    // ... and synced. Written under m_mutex; read without it by
    // SyncedUpTo, which the window thread asks after every notification.
    std::atomic<std::uint64_t> m_syncedSeq{0};
    bool m_syncWanted = false;
    bool m_closing = false;  // Close: keep at it until the deadline
    bool m_stop = false;
    bool m_failing = false;  // the last write or sync failed
    std::uint64_t m_removedWaiting = 0;
    std::uint64_t m_removedHeld = 0;
    std::uint64_t m_removedHeldUpTo = 0;  // the last seq so deleted

    int m_fd = -1;  // the back segment; the writer's once it runs
    std::thread m_writer;
    // Writer only: records written since the last good sync, written again
    // into a new segment when the sync fails.
    Batch m_unsynced;
    bool m_rollWanted = false;  // the back segment cannot be trusted further

    // The reader's place (reader only): the next record of a segment.
    std::uint32_t m_readIndex = 0;
    std::uint64_t m_readOffset = 0;
    std::uint64_t m_readSeq = 0;
};

}  // namespace db
