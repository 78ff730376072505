#include "db/statement_journal.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "db/journal_statement_record.h"

namespace db {

ssize_t JournalFileCalls::Write(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}

int JournalFileCalls::Sync(int fd) {
    return ::fdatasync(fd);
}

int JournalFileCalls::Truncate(int fd, off_t size) {
    return ::ftruncate(fd, size);
}

namespace {

constexpr std::uint64_t kMaxSegmentBytes = std::uint64_t{32} << 20;
constexpr std::uint64_t kMinSegmentBytes = std::uint64_t{64} << 10;
constexpr mode_t kFileMode = 0640;
// Written but not synced past this, the writer syncs without waiting for
// the timer or for a pause: a burst costs one sync per this many bytes.
constexpr std::size_t kSyncBytes = std::size_t{1} << 20;
// Statements appended with their wake put off that wake the writer all the
// same (a wake costs the appending thread a system call; a few dozen records
// wait a millisecond or two at most).
constexpr std::uint64_t kPutOffWakeEvery = 32;

using journal::SystemError;

// Writes all of `size` bytes, or fails with `error` set (ENOSPC for a write
// that took only part of them).
bool WriteAll(JournalFileCalls& files, int fd, const char* data, std::size_t size, int& error) {
    while (size > 0) {
        const ssize_t n = files.Write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            return false;
        }
        if (n == 0) {
            error = ENOSPC;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

void CStatementJournal::Batch::Take(Batch& other) {
    if (other.bytes.empty()) {
        return;
    }
    other.bytes += bytes;
    bytes.swap(other.bytes);
    if (other.first != 0) {
        last = first != 0 ? last : other.last;
        first = other.first;
    }
    statements += other.statements;
    other = Batch{};
}

void CStatementJournal::Batch::Append(Batch&& other) {
    if (bytes.empty()) {
        // The usual case: the records written since the last sync.
        bytes.swap(other.bytes);
    } else {
        bytes += other.bytes;
    }
    if (other.first != 0) {
        first = first != 0 ? first : other.first;
        last = other.last;
    }
    statements += other.statements;
    other = Batch{};
}

// Records of a batch are whole and in order, so the front is cut at a record
// boundary: the records that fit in `room` bytes, and always the first one.
CStatementJournal::Batch CStatementJournal::Batch::TakeFront(std::size_t room) {
    if (bytes.size() <= room) {
        Batch whole = std::exchange(*this, Batch{});
        // The next records go into a buffer of the same size: grown from
        // nothing record by record, it would be copied over and over.
        bytes.reserve(whole.bytes.size());
        return whole;
    }
    Batch front;
    std::string_view rest(bytes);
    std::size_t used = 0;
    while (used < bytes.size()) {
        journal::Record record;
        if (journal::ReadRecord(rest.substr(used), record) != journal::ReadStatus::Ok ||
            (used > 0 && used + record.size > room)) {
            break;
        }
        used += record.size;
        if (record.type == journal::RecordType::Entry) {
            front.first = front.first != 0 ? front.first : record.seq;
            front.last = record.seq;
            ++front.statements;
        }
    }
    if (used >= bytes.size()) {
        return std::exchange(*this, Batch{});
    }
    front.bytes.assign(bytes, 0, used);
    bytes.erase(0, used);
    statements -= front.statements;
    first = 0;
    last = statements != 0 ? last : 0;
    for (std::size_t at = 0; statements != 0 && at < bytes.size();) {
        journal::Record record;
        if (journal::ReadRecord(std::string_view(bytes).substr(at), record) !=
            journal::ReadStatus::Ok) {
            break;
        }
        if (record.type == journal::RecordType::Entry) {
            first = record.seq;
            break;
        }
        at += record.size;
    }
    return front;
}

CStatementJournal::CStatementJournal(JournalOptions options, LogSink log)
    : m_options(std::move(options)), m_log(std::move(log)) {
    if (m_options.segmentBytes == 0) {
        m_options.segmentBytes = std::min(kMaxSegmentBytes, m_options.maxBytes / 4);
    }
    m_options.segmentBytes = std::max(m_options.segmentBytes, kMinSegmentBytes);
    if (m_options.syncEvery.count() < 1) {
        m_options.syncEvery = std::chrono::milliseconds(1);
    }
    m_options.syncGap =
        std::clamp(m_options.syncGap, std::chrono::milliseconds(0), m_options.syncEvery);
    if (m_options.retryEvery.count() < 1) {
        m_options.retryEvery = std::chrono::milliseconds(1);
    }
    if (!m_options.files) {
        m_options.files = std::make_shared<JournalFileCalls>();
    }
}

std::unique_ptr<CStatementJournal> CStatementJournal::Open(const JournalOptions& options,
                                                           LogSink log, std::string& error) {
    std::unique_ptr<CStatementJournal> journal(new CStatementJournal(options, std::move(log)));
    if (!journal->Recover(error)) {
        return nullptr;
    }
    try {
        journal->m_writer = std::thread(&CStatementJournal::WriterLoop, journal.get());
    } catch (const std::exception& e) {
        error = std::string("cannot start the journal's writer: ") + e.what();
        return nullptr;
    }
    return journal;
}

CStatementJournal::~CStatementJournal() {
    Close(std::chrono::milliseconds(0));
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

std::uint64_t CStatementJournal::Close(std::chrono::milliseconds wait) {
    std::unique_lock lock(m_mutex);
    if (!m_writer.joinable()) {
        return 0;
    }
    m_closing = true;
    m_syncWanted = true;
    m_wakeWriter.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + wait;
    // A failing disk gets until the deadline; a sound one all it takes.
    m_progress.wait_until(lock, deadline, [&] {
        return m_pending.bytes.empty() && m_syncedTicket >= m_ticket && !m_failing;
    });
    // The writer makes one last attempt and syncs before it ends.
    m_stop = true;
    m_wakeWriter.notify_all();
    lock.unlock();
    m_writer.join();
    lock.lock();
    const std::uint64_t notWritten = m_pending.statements;
    const std::uint64_t deletedHeld = m_removedHeldUpTo > m_done ? m_removedHeldUpTo - m_done : 0;
    if (notWritten > 0) {
        Log(std::to_string(notWritten) +
            " statements were only in memory (the disk took no more records) and are lost");
    }
    if (deletedHeld > 0) {
        Log(std::to_string(deletedHeld) +
            " statements whose records the size limit deleted were still in memory and are "
            "lost");
    }
    return notWritten + deletedHeld;
}

void CStatementJournal::Log(const std::string& line) const {
    if (m_log) {
        try {
            m_log("journal: " + line);
        } catch (...) {
        }
    }
}

bool CStatementJournal::StartSegment(std::uint32_t index, std::string& error) {
    Segment segment;
    segment.index = index;
    segment.path = m_options.dir / journal::SegmentName(index);
    const int fd =
        ::open(segment.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        error = SystemError("cannot create " + segment.path.string(), errno);
        return false;
    }
    std::string head(journal::kSegmentMagic);
    std::uint64_t done = 0;
    {
        std::lock_guard lock(m_mutex);
        done = m_done;
    }
    // Every segment starts with the done mark in force, so deleting older
    // segments never forgets how far the queue got.
    journal::AppendDoneRecord(head, done);
    int writeError = 0;
    if (!WriteAll(*m_options.files, fd, head.data(), head.size(), writeError) ||
        m_options.files->Sync(fd) != 0) {
        error = SystemError("cannot write " + segment.path.string(),
                            writeError != 0 ? writeError : errno);
        ::close(fd);
        std::error_code ec;
        std::filesystem::remove(segment.path, ec);
        return false;
    }
    journal::SyncDir(m_options.dir);
    segment.bytes = segment.syncedBytes = head.size();
    const int old = m_fd;
    {
        std::lock_guard lock(m_mutex);
        m_segments.push_back(segment);
        m_fd = fd;
    }
    if (old >= 0) {
        ::close(old);
    }
    return true;
}

// Segments whose statements are all done go; then, over the size limit, the
// oldest go whatever they hold. Never the segment being written.
void CStatementJournal::ReclaimLocked(std::vector<std::filesystem::path>& unlink) {
    while (m_segments.size() > 1) {
        const Segment& s = m_segments.front();
        if (s.firstSeq != 0 && s.lastSeq > m_done) {
            break;
        }
        unlink.push_back(s.path);
        m_segments.pop_front();
    }
    std::uint64_t total = m_pending.bytes.size();
    for (const Segment& s : m_segments) {
        total += s.bytes;
    }
    while (m_segments.size() > 1 && total > m_options.maxBytes) {
        const Segment& s = m_segments.front();
        // Of its statements not done, those below m_heldBelow are in the
        // caller's memory: their copy on disk goes, they do not (yet).
        std::uint64_t held = 0;
        std::uint64_t lost = 0;
        if (s.firstSeq != 0 && s.lastSeq > m_done) {
            const std::uint64_t from = std::max(s.firstSeq, m_done + 1);
            const std::uint64_t heldEnd = std::clamp(m_heldBelow, from, s.lastSeq + 1);
            held = heldEnd - from;
            lost = s.lastSeq + 1 - heldEnd;
            if (held > 0) {
                m_removedHeldUpTo = std::max(m_removedHeldUpTo, heldEnd - 1);
            }
        }
        m_removedWaiting += lost;
        m_removedHeld += held;
        Log("DISK LIMIT: the journal holds more than EventServer_JournalMaxMB (" +
            std::to_string(m_options.maxBytes >> 20) + " MiB); deleted its oldest segment " +
            s.path.filename().string() +
            ": deleted from disk, still in memory: " + std::to_string(held) +
            " (lost if the service stops or crashes before the database takes them); "
            "lost: " +
            std::to_string(lost) + " (" + std::to_string(m_removedWaiting) + " so far)");
        total -= s.bytes;
        unlink.push_back(s.path);
        m_segments.pop_front();
    }
}

std::uint64_t CStatementJournal::NextSeq() const {
    std::lock_guard lock(m_mutex);
    return m_nextSeq;
}

std::uint64_t CStatementJournal::Append(const SqlCommand& command, bool held, JournalWake when) {
    std::uint64_t seq = 0;
    bool wake = false;
    {
        std::lock_guard lock(m_mutex);
        // The writer waits only on an empty buffer: a wake is needed only
        // for the first record after it emptied it. Records put off still
        // wake it every kPutOffWakeEvery: a caller's run can be long (a
        // window thread thousands of notifications behind), and its first
        // records must not wait for the whole of it.
        wake = when == JournalWake::Now ? m_pending.bytes.empty()
                                        : m_pending.statements + 1 == kPutOffWakeEvery;
        seq = m_nextSeq++;
        journal::AppendStatementRecord(m_pending.bytes, seq, command);
        if (m_pending.first == 0) {
            m_pending.first = seq;
        }
        m_pending.last = seq;
        ++m_pending.statements;
        if (held && m_heldBelow == seq) {
            m_heldBelow = seq + 1;
        }
        ++m_ticket;
    }
    if (wake) {
        m_wakeWriter.notify_one();
    }
    return seq;
}

void CStatementJournal::WakeWriter() {
    {
        std::lock_guard lock(m_mutex);
        if (m_pending.bytes.empty()) {
            return;  // taken already, or nothing put off
        }
    }
    m_wakeWriter.notify_one();
}

void CStatementJournal::MarkDone(std::uint64_t doneUpTo) {
    {
        std::lock_guard lock(m_mutex);
        if (doneUpTo <= m_done) {
            return;
        }
        m_done = doneUpTo;
        const bool wake = m_pending.bytes.empty();
        journal::AppendDoneRecord(m_pending.bytes, doneUpTo);
        ++m_ticket;
        if (!wake) {
            return;
        }
    }
    m_wakeWriter.notify_one();
}

void CStatementJournal::Flush(bool sync) {
    std::unique_lock lock(m_mutex);
    const std::uint64_t ticket = m_ticket;
    if (sync) {
        m_syncWanted = true;
    }
    m_wakeWriter.notify_one();
    m_progress.wait(lock, [&] {
        return m_stop || m_failing || (sync ? m_syncedTicket : m_writtenTicket) >= ticket;
    });
}

std::uint64_t CStatementJournal::WaitingOnDisk() const {
    std::lock_guard lock(m_mutex);
    std::uint64_t next = m_done + 1;  // segments hold seqs in order, a rewrite may repeat some
    std::uint64_t count = 0;
    for (const Segment& s : m_segments) {
        if (s.firstSeq != 0 && s.lastSeq >= next) {
            count += s.lastSeq - std::max(s.firstSeq, next) + 1;
            next = s.lastSeq + 1;
        }
    }
    return count;
}

std::uint64_t CStatementJournal::SyncedUpTo() const {
    // Stored after the sync returned: a statement counted here is on disk.
    return m_syncedSeq.load(std::memory_order_acquire);
}

std::uint64_t CStatementJournal::DiskBytes() const {
    std::lock_guard lock(m_mutex);
    std::uint64_t total = m_pending.bytes.size();
    for (const Segment& s : m_segments) {
        total += s.bytes;
    }
    return total;
}

std::uint64_t CStatementJournal::RemovedWaiting() const {
    std::lock_guard lock(m_mutex);
    return m_removedWaiting;
}

std::uint64_t CStatementJournal::RemovedHeld() const {
    std::lock_guard lock(m_mutex);
    return m_removedHeld;
}

std::uint64_t CStatementJournal::MemoryOnly() const {
    std::lock_guard lock(m_mutex);
    return m_failing ? m_pending.statements + m_writingStatements : 0;
}

// Hands `batch` to the back segment, first starting a new one when `roll`.
// On failure the segment is cut back to its last whole record (or left for a
// new one) and the records return to the front of m_pending. Called with the
// lock held; releases it around the calls.
bool CStatementJournal::WriteBatch(std::unique_lock<std::mutex>& lock, Batch& batch, bool roll) {
    const bool mustRoll = m_rollWanted;
    const std::uint32_t nextIndex = m_segments.back().index + 1;
    lock.unlock();
    JournalFileCalls& files = *m_options.files;
    int error = 0;
    bool ok = true;
    if (roll) {
        const bool oldSynced = mustRoll || files.Sync(m_fd) == 0;
        std::string startError;
        if (StartSegment(nextIndex, startError)) {
            if (!oldSynced) {
                // What the old segment holds unsynced is written again.
                batch.Take(m_unsynced);
            }
            m_unsynced = Batch{};
            m_rollWanted = false;
        } else if (mustRoll) {
            Log(startError);
            ok = false;
            error = ENOSPC;
        } else {
            Log(startError + "; writing on in the current segment");
        }
    }
    std::uint64_t whole = 0;
    std::string path;
    {
        lock.lock();
        whole = m_segments.back().bytes;
        path = m_segments.back().path.string();
        lock.unlock();
    }
    if (ok) {
        ok = WriteAll(files, m_fd, batch.bytes.data(), batch.bytes.size(), error);
        if (!ok && files.Truncate(m_fd, static_cast<off_t>(whole)) != 0) {
            // Part of a record may stay: nothing is written after it.
            m_rollWanted = true;
        }
    }
    lock.lock();
    if (!ok) {
        if (!m_failing) {
            Log(SystemError("cannot write " + path, error) + "; " +
                (m_rollWanted ? "a new segment takes the next records"
                              : "cut back to its last whole record") +
                "; " + std::to_string(batch.statements + m_pending.statements) +
                " statements are only in memory until the disk takes records again");
        }
        m_failing = true;
        m_pending.Take(batch);
        return false;
    }
    Segment& s = m_segments.back();
    s.bytes += batch.bytes.size();
    if (batch.first != 0) {
        if (s.firstSeq == 0) {
            s.firstSeq = batch.first;
        }
        s.lastSeq = batch.last;
        m_writtenSeq = std::max(m_writtenSeq, batch.last);
    }
    if (m_failing) {
        m_failing = false;
        Log("the disk takes records again: " + std::to_string(batch.statements) +
            " statements that were only in memory are written");
    }
    m_unsynced.Append(std::move(batch));
    return true;
}

// Syncs the back segment. A failed sync leaves what the segment holds past
// its last good sync in doubt: those records go back to the front of
// m_pending, to be written again in a new segment.
bool CStatementJournal::SyncSegment(std::unique_lock<std::mutex>& lock) {
    const int fd = m_fd;
    lock.unlock();
    const int rc = m_options.files->Sync(fd);
    const int error = errno;
    lock.lock();
    Segment& s = m_segments.back();
    if (rc == 0) {
        s.syncedBytes = s.bytes;
        m_unsynced = Batch{};
        return true;
    }
    Log(SystemError("cannot sync " + s.path.string(), error) + "; its last " +
        std::to_string(m_unsynced.statements) + " statements are written again in a new segment");
    s.bytes = s.syncedBytes;
    if (m_unsynced.first != 0) {
        if (m_unsynced.first <= s.firstSeq) {
            s.firstSeq = s.lastSeq = 0;
        } else {
            s.lastSeq = m_unsynced.first - 1;
        }
        m_writtenSeq = m_unsynced.first - 1;
    }
    m_options.files->Truncate(fd, static_cast<off_t>(s.syncedBytes));
    m_pending.Take(m_unsynced);
    m_rollWanted = true;
    m_failing = true;
    return false;
}

void CStatementJournal::WriterLoop() {
    pthread_setname_np(pthread_self(), "vardo-journal");
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(m_mutex);
    bool unsynced = false;            // written since the last sync
    bool unsyncedStatements = false;  // ... statements among it, not only done marks
    auto firstUnsynced = Clock::now();
    auto retryAt = Clock::now();
    // When the last sync started. The first record counts as after a quiet
    // spell: the clock's zero is the machine's boot, which on a machine up
    // for less than syncGap would hold that record back until then.
    auto lastSync = Clock::now() - m_options.syncGap;
    while (true) {
        const auto now = Clock::now();
        const bool canWrite = !m_pending.bytes.empty() && (!m_failing || now >= retryAt);
        // A statement's record is synced as soon as nothing more waits to be
        // written and the last sync is syncGap behind: under light load at
        // once, under heavy load in groups of what came since the sync
        // before. Done marks alone wait for the timer (a lost one only sends
        // statements again).
        const bool syncDue = unsynced && (m_syncWanted || m_stop || m_closing ||
                                          (unsyncedStatements && m_pending.bytes.empty() &&
                                           now - lastSync >= m_options.syncGap) ||
                                          m_unsynced.bytes.size() >= kSyncBytes ||
                                          now - firstUnsynced >= m_options.syncEvery);
        if (canWrite) {
            // A segment takes no more than its size (one record past it at
            // most), however much came at once: the size limit deletes whole
            // segments, oldest first, and must never have to take the newest
            // records with them.
            const bool roll = m_rollWanted || m_segments.back().bytes >= m_options.segmentBytes;
            const std::uint64_t inSegment = roll ? 0 : m_segments.back().bytes;
            Batch batch =
                m_pending.TakeFront(static_cast<std::size_t>(m_options.segmentBytes - inSegment));
            const bool whole = m_pending.bytes.empty();
            const std::uint64_t ticket = m_ticket;
            const bool hadStatements = batch.first != 0;
            m_writingStatements = batch.statements;
            const bool written = WriteBatch(lock, batch, roll);
            m_writingStatements = 0;
            if (written) {
                if (whole) {
                    m_writtenTicket = ticket;
                }
                if (!unsynced) {
                    firstUnsynced = now;
                }
                unsynced = true;
                unsyncedStatements = unsyncedStatements || hadStatements;
            } else {
                retryAt = now + m_options.retryEvery;
            }
            m_progress.notify_all();
            continue;
        }
        if (syncDue) {
            const std::uint64_t ticket = m_writtenTicket;
            const std::uint64_t seq = m_writtenSeq;
            m_syncWanted = false;
            unsynced = false;
            unsyncedStatements = false;
            lastSync = now;
            if (SyncSegment(lock)) {
                if (seq > m_syncedSeq.load(std::memory_order_relaxed)) {
                    m_syncedSeq.store(seq, std::memory_order_release);
                }
                m_syncedTicket = ticket;
                std::vector<std::filesystem::path> unlink;
                ReclaimLocked(unlink);
                if (!unlink.empty()) {
                    lock.unlock();
                    std::error_code ec;
                    for (const auto& path : unlink) {
                        std::filesystem::remove(path, ec);
                    }
                    lock.lock();
                }
            } else {
                retryAt = now;  // into a new segment at once
            }
            m_progress.notify_all();
            continue;
        }
        if (m_syncWanted) {
            // Nothing unsynced: whatever was written is synced.
            m_syncWanted = false;
            m_syncedTicket = m_writtenTicket;
            m_progress.notify_all();
        }
        if (m_stop) {
            break;
        }
        auto wakeAt = Clock::time_point::max();
        if (unsynced) {
            wakeAt = firstUnsynced + m_options.syncEvery;
        }
        if (unsyncedStatements) {
            wakeAt = std::min(wakeAt, lastSync + m_options.syncGap);
        }
        if (m_failing && !m_pending.bytes.empty()) {
            wakeAt = std::min(wakeAt, retryAt);
        }
        // Records appended without a wake (their WakeWriter not yet come,
        // or never) are written within syncEvery all the same.
        wakeAt = std::min(wakeAt, now + m_options.syncEvery);
        m_wakeWriter.wait_until(lock, wakeAt);
    }
}

}  // namespace db
