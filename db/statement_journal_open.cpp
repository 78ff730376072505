// Opening the journal: what an earlier run left in the folder, read back with
// the damage it may hold skipped and counted.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "db/journal_statement_record.h"
#include "db/statement_journal.h"

namespace db {
namespace {

constexpr mode_t kDirMode = 0750;
// Gaps named one by one at the open; past this, one line gives the rest.
constexpr std::size_t kGapLines = 20;

}  // namespace

using journal::SystemError;

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
    if (!CheckTarget(error)) {
        return false;
    }
    std::vector<Segment> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        std::uint32_t index = 0;
        if (journal::SegmentIndex(entry.path().filename().string(), index)) {
            Segment segment;
            segment.path = entry.path();
            segment.index = index;
            found.push_back(std::move(segment));
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
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
    for (std::size_t i = 0; i < found.size(); ++i) {
        nextIndex = std::max(nextIndex, found[i].index + 1);
        if (!ScanSegment(found[i], i + 1 == found.size(), maxSeq, runs)) {
            continue;
        }
        m_segments.push_back(found[i]);
    }
    m_nextSeq = std::max(maxSeq, m_done) + 1;
    m_writtenSeq = m_nextSeq - 1;
    m_syncedSeq.store(m_writtenSeq, std::memory_order_release);
    m_heldBelow = m_nextSeq;
    m_firstWaiting = m_done + 1;
    ReportWaiting(runs, maxSeq);
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

namespace {

constexpr const char* kTargetFile = "target";

// The file's bytes; empty when it cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::string bytes;
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 &&
        !journal::ReadAt(fd, 0, static_cast<std::size_t>(st.st_size), bytes)) {
        bytes.clear();
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return bytes;
}

// Statements not done in these segment files.
std::uint64_t CountWaiting(const std::vector<std::filesystem::path>& files) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
    std::uint64_t done = 0;
    for (const auto& path : files) {
        const std::string bytes = ReadWholeFile(path);
        if (!bytes.starts_with(journal::kSegmentMagic)) {
            continue;
        }
        const auto scan = journal::ScanSegmentBytes(bytes, journal::kSegmentMagic.size());
        done = std::max(done, scan.maxDone);
        for (const auto& run : scan.runs) {
            runs.emplace_back(run.first, run.last);
        }
    }
    std::sort(runs.begin(), runs.end());
    std::uint64_t next = done + 1;
    std::uint64_t count = 0;
    for (const auto& [first, last] : runs) {
        if (last >= next) {
            count += last - std::max(first, next) + 1;
            next = last + 1;
        }
    }
    return count;
}

}  // namespace

// Statements are for the database they were queued for: segments written for
// another one (Config.ini pointed elsewhere since) go to a folder of their
// own, loudly, and the journal starts afresh.
bool CStatementJournal::CheckTarget(std::string& error) {
    const std::string& target = m_options.target;
    if (target.empty()) {
        return true;
    }
    const auto& dir = m_options.dir;
    const auto targetFile = dir / kTargetFile;
    const std::string earlier = ReadWholeFile(targetFile);
    std::error_code ec;
    if (!earlier.empty() && earlier != target) {
        std::vector<std::filesystem::path> segments;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            std::uint32_t index = 0;
            if (journal::SegmentIndex(entry.path().filename().string(), index)) {
                segments.push_back(entry.path());
            }
        }
        m_leftAside = CountWaiting(segments);
        if (m_leftAside == 0) {
            for (const auto& path : segments) {
                std::filesystem::remove(path, ec);
            }
        } else {
            std::filesystem::path aside;
            for (int n = 1;; ++n) {
                aside = dir / ("other-database-" + std::to_string(n));
                if (!std::filesystem::exists(aside, ec)) {
                    break;
                }
            }
            if (::mkdir(aside.c_str(), kDirMode) != 0) {
                error = SystemError("cannot create " + aside.string(), errno);
                return false;
            }
            for (const auto& path : segments) {
                std::filesystem::rename(path, aside / path.filename(), ec);
                if (ec) {
                    error = "cannot move " + path.string() + ": " + ec.message();
                    return false;
                }
            }
            std::filesystem::rename(targetFile, aside / kTargetFile, ec);
            journal::SyncDir(aside);
            Log("ANOTHER DATABASE: " + std::to_string(m_leftAside) + " statements waiting in " +
                dir.string() + " were written for " + earlier + ", not for " + target +
                "; they are left aside in " + aside.string() +
                " and not sent here. To send them where they belong: stop the service once nothing "
                "waits in " +
                dir.string() +
                ", set EventServer_ConnectString back to that "
                "database, replace the files of " +
                dir.string() + " with those of " + aside.string() + " and start");
        }
    }
    if (earlier != target) {
        const auto temporary = dir / "target.new";
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
        const bool written =
            fd >= 0 &&
            ::write(fd, target.data(), target.size()) == static_cast<ssize_t>(target.size()) &&
            ::fdatasync(fd) == 0;
        const int writeError = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        std::filesystem::rename(temporary, targetFile, ec);
        if (!written || ec) {
            error = SystemError("cannot write " + targetFile.string(), writeError);
            return false;
        }
        journal::SyncDir(dir);
    }
    return true;
}

// What waits, counted from what was read (a statement written twice, after a
// failed sync, counts once), and what is missing between, by its seqs.
void CStatementJournal::ReportWaiting(std::vector<std::pair<std::uint64_t, std::uint64_t>>& runs,
                                      std::uint64_t maxSeq) {
    std::sort(runs.begin(), runs.end());
    std::uint64_t next = m_done + 1;  // the first seq not yet accounted for
    std::vector<std::pair<std::uint64_t, std::uint64_t>> gaps;
    for (const auto& [first, last] : runs) {
        if (last < next) {
            continue;
        }
        if (first > next) {
            gaps.emplace_back(next, first - 1);
            m_missingAtOpen += first - next;
        }
        const std::uint64_t from = std::max(first, next);
        m_waitingAtOpen += last - from + 1;
        next = last + 1;
    }
    (void)maxSeq;  // runs end at it: nothing after the last record is known
    const std::string where = m_options.dir.string();
    for (std::size_t i = 0; i < gaps.size() && i < kGapLines; ++i) {
        const auto [first, last] = gaps[i];
        Log((first == last
                 ? "statement " + std::to_string(first) + " is"
                 : "statements " + std::to_string(first) + ".." + std::to_string(last) + " are") +
            " missing from " + where +
            " (a damaged or deleted segment); not in the database, and lost");
    }
    if (gaps.size() > kGapLines) {
        Log(std::to_string(gaps.size() - kGapLines) + " more gaps not named");
    }
    if (m_missingAtOpen > 0) {
        Log(std::to_string(m_missingAtOpen) + " statements of an earlier run are missing in all");
    }
    if (m_waitingAtOpen > 0) {
        Log(std::to_string(m_waitingAtOpen) + " statements of an earlier run wait in " + where +
            "; they go first");
    }
}

// Reads one segment left by an earlier run. False when it holds nothing to
// keep (it is deleted then).
bool CStatementJournal::ScanSegment(Segment& segment, bool last, std::uint64_t& maxSeq,
                                    std::vector<std::pair<std::uint64_t, std::uint64_t>>& runs) {
    const std::string name = segment.path.filename().string();
    const int fd = ::open(segment.path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        Log(SystemError("cannot read " + name + ", left aside", errno));
        return false;
    }
    struct stat st {};
    std::string bytes;
    if (::fstat(fd, &st) != 0 ||
        !journal::ReadAt(fd, 0, static_cast<std::size_t>(st.st_size), bytes)) {
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
    const journal::SegmentScan scan =
        journal::ScanSegmentBytes(bytes, journal::kSegmentMagic.size());
    for (const auto& hole : scan.holes) {
        ++m_damaged;
        Log("found a damaged record at offset " + std::to_string(hole.from) + " of " + name +
            "; skipped " + std::to_string(hole.to - hole.from) +
            " bytes, the records after them are read");
        segment.holes.emplace_back(hole.from, hole.to);
    }
    if (scan.end < bytes.size()) {
        ++m_damaged;
        if (last) {
            // A write that a crash or a power cut interrupted: nothing whole
            // follows it. Cut the file there so the next run agrees.
            Log("dropped a record cut short at offset " + std::to_string(scan.end) + " of " + name +
                " (" + std::to_string(bytes.size() - scan.end) +
                " bytes); the records before it are kept");
            if (::ftruncate(fd, static_cast<off_t>(scan.end)) != 0) {
                Log(SystemError("cannot cut " + name, errno));
            }
        } else {
            Log("found a damaged record at offset " + std::to_string(scan.end) + " of " + name +
                "; its last " + std::to_string(bytes.size() - scan.end) +
                " bytes hold nothing whole and are skipped");
        }
    }
    ::close(fd);
    for (const auto& run : scan.runs) {
        if (segment.firstSeq == 0) {
            segment.firstSeq = run.first;
        }
        segment.lastSeq = run.last;
        maxSeq = std::max(maxSeq, run.last);
        runs.emplace_back(run.first, run.last);
    }
    m_done = std::max(m_done, scan.maxDone);
    segment.bytes = segment.syncedBytes = scan.end;
    return true;
}

}  // namespace db
