#include "db/statement_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

#include "db/journal_record.h"

namespace db {
namespace {

constexpr std::uint64_t kMaxSegmentBytes = std::uint64_t{32} << 20;
constexpr std::uint64_t kMinSegmentBytes = std::uint64_t{64} << 10;
constexpr mode_t kFileMode = 0640;
constexpr mode_t kDirMode = 0750;
// How much the reader takes from a file at once (a record may need more).
constexpr std::size_t kReadChunk = std::size_t{1} << 20;

std::string SystemError(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

std::string SegmentName(std::uint32_t index) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = "seg-00000000.jnl";
    for (int i = 0; i < 8; ++i) {
        name[4 + 7 - i] = kHex[(index >> (4 * i)) & 0xF];
    }
    return name;
}

// The index of a segment file name, or false for any other file.
bool SegmentIndex(const std::string& name, std::uint32_t& index) {
    if (name.size() != 16 || !name.starts_with("seg-") || !name.ends_with(".jnl")) {
        return false;
    }
    const char* first = name.data() + 4;
    const auto [end, ec] = std::from_chars(first, first + 8, index, 16);
    return ec == std::errc() && end == first + 8;
}

bool WriteAll(int fd, const char* data, std::size_t size, int& error) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads up to `size` bytes at `offset`; fewer only at the end of the file.
bool ReadAt(int fd, std::uint64_t offset, std::size_t size, std::string& out) {
    out.resize(size);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n =
            ::pread(fd, out.data() + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return true;
}

void SyncDir(const std::filesystem::path& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

CStatementJournal::CStatementJournal(JournalOptions options, LogSink log)
    : m_options(std::move(options)), m_log(std::move(log)) {
    if (m_options.segmentBytes == 0) {
        m_options.segmentBytes = std::min(kMaxSegmentBytes, m_options.maxBytes / 4);
    }
    m_options.segmentBytes = std::max(m_options.segmentBytes, kMinSegmentBytes);
    if (m_options.syncEvery.count() < 1) {
        m_options.syncEvery = std::chrono::milliseconds(1);
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
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wakeWriter.notify_all();
    if (m_writer.joinable()) {
        m_writer.join();
    }
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void CStatementJournal::Log(const std::string& line) const {
    if (m_log) {
        try {
            m_log("journal: " + line);
        } catch (...) {
        }
    }
}

bool CStatementJournal::Recover(std::string& error) {
    const auto& dir = m_options.dir;
    if (::mkdir(dir.c_str(), kDirMode) != 0 && errno != EEXIST) {
        error = SystemError("cannot create " + dir.string(), errno);
        return false;
    }
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        error = dir.string() + " is not a folder";
        return false;
    }
    std::vector<Segment> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::uint32_t index = 0;
        if (SegmentIndex(entry.path().filename().string(), index)) {
            found.push_back({entry.path(), index, 0, 0, 0});
        }
    }
    if (ec) {
        error = "cannot read " + dir.string() + ": " + ec.message();
        return false;
    }
    std::sort(found.begin(), found.end(),
              [](const Segment& a, const Segment& b) { return a.index < b.index; });

    std::uint64_t maxSeq = 0;
    std::uint32_t nextIndex = 1;
    for (std::size_t i = 0; i < found.size(); ++i) {
        nextIndex = std::max(nextIndex, found[i].index + 1);
        if (!ScanSegment(found[i], i + 1 == found.size(), maxSeq)) {
            continue;
        }
        m_segments.push_back(found[i]);
    }
    m_nextSeq = std::max(maxSeq, m_done) + 1;
    m_firstWaiting = m_done + 1;
    for (const Segment& s : m_segments) {
        if (s.firstSeq != 0 && s.lastSeq > m_done) {
            m_firstWaiting = std::max(m_firstWaiting, s.firstSeq);
            break;
        }
    }
    if (m_firstWaiting > m_nextSeq) {
        m_firstWaiting = m_nextSeq;
    }
    if (m_firstWaiting < m_nextSeq) {
        Log(std::to_string(m_nextSeq - m_firstWaiting) + " statements of an earlier run wait in " +
            dir.string() + "; they go first");
    }
    if (!StartSegment(nextIndex, error)) {
        return false;
    }
    std::vector<std::filesystem::path> unlink;
    ReclaimLocked(unlink);
    for (const auto& path : unlink) {
        std::filesystem::remove(path, ec);
    }
    return true;
}

// Reads one segment left by an earlier run. False when it holds nothing to
// keep (it is deleted then).
bool CStatementJournal::ScanSegment(Segment& segment, bool last, std::uint64_t& maxSeq) {
    const std::string name = segment.path.filename().string();
    const int fd = ::open(segment.path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        Log(SystemError("cannot read " + name + ", left aside", errno));
        return false;
    }
    struct stat st {};
    std::string bytes;
    if (::fstat(fd, &st) != 0 || !ReadAt(fd, 0, static_cast<std::size_t>(st.st_size), bytes)) {
        Log(SystemError("cannot read " + name + ", left aside", errno));
        ::close(fd);
        return false;
    }
    if (bytes.size() < journal::kSegmentMagic.size() ||
        std::string_view(bytes).substr(0, journal::kSegmentMagic.size()) !=
            journal::kSegmentMagic) {
        ::close(fd);
        if (bytes.size() < journal::kSegmentMagic.size() &&
            journal::kSegmentMagic.starts_with(bytes)) {
            // Created, and cut before its first record: nothing in it.
            std::error_code ec;
            std::filesystem::remove(segment.path, ec);
        } else {
            Log(name + " is not a journal segment, left aside");
        }
        return false;
    }
    std::size_t offset = journal::kSegmentMagic.size();
    const std::string_view all(bytes);
    while (true) {
        journal::Record record;
        const journal::ReadStatus status = journal::ReadRecord(all.substr(offset), record);
        if (status == journal::ReadStatus::End) {
            break;
        }
        if (status != journal::ReadStatus::Ok) {
            ++m_damaged;
            const std::string what =
                status == journal::ReadStatus::Torn ? "a record cut short" : "a damaged record";
            if (last) {
                // A write that a power cut interrupted: what follows it was
                // never written. Cut the file there so the next run agrees.
                Log("dropped " + what + " at offset " + std::to_string(offset) + " of " + name +
                    " (" + std::to_string(bytes.size() - offset) + " bytes); the " +
                    "records before it are kept");
                if (::ftruncate(fd, static_cast<off_t>(offset)) != 0) {
                    Log(SystemError("cannot cut " + name, errno));
                }
            } else {
                Log("found " + what + " at offset " + std::to_string(offset) + " of " + name +
                    "; its last " + std::to_string(bytes.size() - offset) +
                    " bytes cannot be read and are skipped");
            }
            break;
        }
        if (record.type == journal::RecordType::Statement) {
            if (segment.firstSeq == 0) {
                segment.firstSeq = record.seq;
            }
            segment.lastSeq = record.seq;
            maxSeq = std::max(maxSeq, record.seq);
        } else {
            m_done = std::max(m_done, record.seq);
        }
        offset += record.size;
    }
    ::close(fd);
    segment.bytes = offset;
    return true;
}

bool CStatementJournal::StartSegment(std::uint32_t index, std::string& error) {
    Segment segment;
    segment.index = index;
    segment.path = m_options.dir / SegmentName(index);
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
    if (!WriteAll(fd, head.data(), head.size(), writeError) || ::fdatasync(fd) != 0) {
        error = SystemError("cannot write " + segment.path.string(),
                            writeError != 0 ? writeError : errno);
        ::close(fd);
        std::error_code ec;
        std::filesystem::remove(segment.path, ec);
        return false;
    }
    SyncDir(m_options.dir);
    segment.bytes = head.size();
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
    std::uint64_t total = m_pending.size();
    for (const Segment& s : m_segments) {
        total += s.bytes;
    }
    while (m_segments.size() > 1 && total > m_options.maxBytes) {
        const Segment& s = m_segments.front();
        std::uint64_t waiting = 0;
        if (s.firstSeq != 0 && s.lastSeq > m_done) {
            waiting = s.lastSeq - std::max(s.firstSeq, m_done + 1) + 1;
        }
        m_removedWaiting += waiting;
        Log("DISK LIMIT: the journal holds more than EventServer_JournalMaxMB (" +
            std::to_string(m_options.maxBytes >> 20) + " MiB); deleted its oldest segment " +
            s.path.filename().string() + " with " + std::to_string(waiting) +
            " statements not yet in the database (" + std::to_string(m_removedWaiting) +
            " so far)");
        total -= s.bytes;
        unlink.push_back(s.path);
        m_segments.pop_front();
    }
}

std::uint64_t CStatementJournal::NextSeq() const {
    std::lock_guard lock(m_mutex);
    return m_nextSeq;
}

std::uint64_t CStatementJournal::Append(const SqlCommand& command) {
    std::uint64_t seq = 0;
    bool wake = false;
    {
        std::lock_guard lock(m_mutex);
        // The writer waits only on an empty buffer: a wake is needed only
        // for the first record after it emptied it.
        wake = m_pending.empty();
        seq = m_nextSeq++;
        journal::AppendStatementRecord(m_pending, seq, command);
        if (m_pendingFirst == 0) {
            m_pendingFirst = seq;
        }
        m_pendingLast = seq;
        ++m_ticket;
    }
    if (wake) {
        m_wakeWriter.notify_one();
    }
    return seq;
}

void CStatementJournal::MarkDone(std::uint64_t doneUpTo) {
    {
        std::lock_guard lock(m_mutex);
        if (doneUpTo <= m_done) {
            return;
        }
        m_done = doneUpTo;
        journal::AppendDoneRecord(m_pending, doneUpTo);
        ++m_ticket;
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
    m_progress.wait(lock,
                    [&] { return m_stop || (sync ? m_syncedTicket : m_writtenTicket) >= ticket; });
}

std::uint64_t CStatementJournal::DiskBytes() const {
    std::lock_guard lock(m_mutex);
    std::uint64_t total = m_pending.size();
    for (const Segment& s : m_segments) {
        total += s.bytes;
    }
    return total;
}

std::uint64_t CStatementJournal::RemovedWaiting() const {
    std::lock_guard lock(m_mutex);
    return m_removedWaiting;
}

void CStatementJournal::WriterLoop() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(m_mutex);
    auto lastSync = Clock::now();
    bool unsynced = false;
    bool failing = false;  // one log line per run of write errors
    std::string batch;
    while (true) {
        if (m_pending.empty() && !m_stop && !(unsynced && m_syncWanted)) {
            if (unsynced) {
                m_wakeWriter.wait_until(lock, lastSync + m_options.syncEvery);
            } else {
                m_wakeWriter.wait(lock);
            }
        }
        if (!m_pending.empty()) {
            batch.clear();
            batch.swap(m_pending);
            const std::uint64_t first = m_pendingFirst;
            const std::uint64_t last = m_pendingLast;
            m_pendingFirst = m_pendingLast = 0;
            const std::uint64_t ticket = m_ticket;
            const bool roll = m_segments.back().bytes >= m_options.segmentBytes;
            lock.unlock();
            if (roll) {
                ::fdatasync(m_fd);
                std::string error;
                if (!StartSegment(m_segments.back().index + 1, error)) {
                    Log(error + "; writing on in the current segment");
                }
            }
            int error = 0;
            const bool ok = WriteAll(m_fd, batch.data(), batch.size(), error);
            lock.lock();
            if (ok) {
                Segment& s = m_segments.back();
                s.bytes += batch.size();
                if (first != 0) {
                    if (s.firstSeq == 0) {
                        s.firstSeq = first;
                    }
                    s.lastSeq = last;
                }
                failing = false;
            } else if (!failing) {
                failing = true;
                // The statements stay in memory and reach the database if
                // the process lives; only their copy on disk is missing.
                Log(SystemError("cannot write " + m_segments.back().path.string() +
                                    "; statements are not kept on disk until this clears",
                                error));
            }
            m_writtenTicket = ticket;
            unsynced = true;
            m_progress.notify_all();
        }
        const auto now = Clock::now();
        if (unsynced && (m_syncWanted || m_stop || now - lastSync >= m_options.syncEvery)) {
            const std::uint64_t ticket = m_writtenTicket;
            m_syncWanted = false;
            lock.unlock();
            ::fdatasync(m_fd);
            lock.lock();
            lastSync = now;
            unsynced = false;
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
            // A flush that asked for the sync also sees the space reclaimed.
            m_syncedTicket = ticket;
            m_progress.notify_all();
        } else if (m_syncWanted && !unsynced) {
            m_syncWanted = false;
            m_syncedTicket = m_writtenTicket;
            m_progress.notify_all();
        }
        if (m_stop && m_pending.empty() && !unsynced) {
            break;
        }
    }
}

std::uint64_t CStatementJournal::Read(std::uint64_t from, std::size_t max,
                                      std::vector<Entry>& out) {
    // Everything appended before this call is first written (it may be in
    // the writer's buffer, or in the write under way). Below `written`, a seq
    // found in no segment was deleted by the size limit; at or above it, it
    // may still be on its way and is read next time.
    std::uint64_t written = 0;
    {
        std::unique_lock lock(m_mutex);
        written = m_nextSeq;
        const std::uint64_t ticket = m_ticket;
        if (m_writtenTicket < ticket) {
            m_wakeWriter.notify_one();
            m_progress.wait(lock, [&] { return m_stop || m_writtenTicket >= ticket; });
        }
    }
    std::size_t taken = 0;
    while (taken < max) {
        Segment segment;
        {
            std::lock_guard lock(m_mutex);
            const Segment* found = nullptr;
            for (const Segment& s : m_segments) {
                if (s.firstSeq != 0 && s.lastSeq >= from) {
                    found = &s;
                    break;
                }
            }
            if (found == nullptr) {
                return std::max(from, written);
            }
            segment = *found;
        }
        if (segment.firstSeq > from) {
            if (from >= written) {
                return from;
            }
            from = std::min(segment.firstSeq, written);  // deleted by the size limit
            continue;
        }
        std::uint64_t offset = journal::kSegmentMagic.size();
        if (m_readIndex == segment.index && m_readSeq <= from && m_readOffset <= segment.bytes) {
            offset = m_readOffset;
        }
        const int fd = ::open(segment.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            // Deleted meanwhile by the size limit: look again.
            std::lock_guard lock(m_mutex);
            if (std::none_of(m_segments.begin(), m_segments.end(),
                             [&](const Segment& s) { return s.index == segment.index; })) {
                continue;
            }
            Log(SystemError("cannot read " + segment.path.string(), errno));
            return from;
        }
        std::string bytes;
        bool segmentDone = false;
        while (taken < max && !segmentDone) {
            const std::uint64_t left = segment.bytes - offset;
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadChunk));
            if (!ReadAt(fd, offset, want, bytes)) {
                Log(SystemError("cannot read " + segment.path.string(), errno));
                ::close(fd);
                return from;
            }
            std::string_view rest(bytes);
            std::size_t used = 0;
            while (taken < max) {
                journal::Record record;
                const auto status = journal::ReadRecord(rest.substr(used), record);
                if (status == journal::ReadStatus::End) {
                    break;
                }
                if (status == journal::ReadStatus::Torn && used > 0) {
                    break;  // the rest of this record comes with the next read
                }
                if (status == journal::ReadStatus::Torn && want < left) {
                    // One record larger than the chunk: read it whole.
                    std::uint32_t length = 0;
                    std::memcpy(&length, bytes.data() + 4, 4);
                    want = std::min<std::size_t>(static_cast<std::size_t>(left),
                                                 journal::kHeaderSize + length);
                    if (!ReadAt(fd, offset, want, bytes)) {
                        break;
                    }
                    rest = bytes;
                    continue;
                }
                if (status != journal::ReadStatus::Ok) {
                    segmentDone = true;  // damaged: Open said so; nothing after it is readable
                    break;
                }
                used += record.size;
                if (record.type != journal::RecordType::Statement || record.seq < from) {
                    continue;
                }
                auto command = journal::DecodeStatement(record.payload);
                if (!command) {
                    Log("statement " + std::to_string(record.seq) + " in " +
                        segment.path.filename().string() + " does not decode; skipped");
                } else {
                    out.emplace_back(record.seq, std::move(*command));
                    ++taken;
                }
                from = record.seq + 1;
            }
            offset += used;
            if (offset >= segment.bytes || used == 0) {
                segmentDone = true;
            }
        }
        ::close(fd);
        m_readIndex = segment.index;
        m_readOffset = offset;
        m_readSeq = from;
        if (segmentDone && from <= segment.lastSeq) {
            from = segment.lastSeq + 1;  // the rest of a damaged segment
        }
    }
    return from;
}

}  // namespace db
