#include "center/center_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "journal/files.h"
#include "journal/record.h"
#include "net/batch_pace.h"

namespace center {

namespace jr = vardo::journal;

namespace {

// The longest acknowledgement marks wait for events to be synced with.
constexpr std::chrono::milliseconds kMarksWait{100};
// How far ahead of its records a segment is written with zeros: at a
// thousand reports a second, a step every few seconds.
constexpr std::uint64_t kPrepareStep = 1u << 20;
// What a turn's buffer keeps between turns: the events of a busy pass.
constexpr std::size_t kKeptTurnBytes = 64 * 1024;

// The sync interval stretches up to this many times itself while events come
// too thinly to fill the syncs (net/batch_pace.h): a thousand terminals'
// reports, one every 10 ms, would otherwise cost a sync for every two or
// three.
constexpr int kLongestSyncIntervals = 4;
// The events a sync should carry, and the fewest the longest interval must
// bring for it to be worth the wait.
constexpr double kEventsWantedPerSync = 32;
constexpr double kFewestEventsPerSync = 8;

}  // namespace

bool DecodeMarks(std::string_view payload, std::map<std::string, std::uint64_t>& users) {
    users.clear();
    while (!payload.empty()) {
        const auto end = payload.find('\n');
        const auto tab = payload.find('\t');
        if (end == std::string_view::npos || tab == std::string_view::npos || tab > end ||
            tab == 0) {
            return false;
        }
        std::uint64_t seq = 0;
        const std::string_view digits = payload.substr(tab + 1, end - tab - 1);
        if (digits.empty() || digits.size() > 19) {
            return false;
        }
        for (const char c : digits) {
            if (c < '0' || c > '9') {
                return false;
            }
            seq = seq * 10 + static_cast<std::uint64_t>(c - '0');
        }
        users[std::string(payload.substr(0, tab))] = seq;
        payload.remove_prefix(end + 1);
    }
    return true;
}

std::vector<std::string> DropMarksOfOthers(CenterJournal::Restored& restored,
                                           const std::vector<centerlink::Credentials>& users) {
    std::vector<std::string> dropped;
    for (auto it = restored.acked.begin(); it != restored.acked.end();) {
        const bool known = std::any_of(users.begin(), users.end(),
                                       [&](const auto& u) { return u.user == it->first; });
        if (known) {
            ++it;
        } else {
            dropped.push_back(it->first);
            it = restored.acked.erase(it);
        }
    }
    return dropped;
}

CenterJournal::CenterJournal(Options options) : options_(std::move(options)) {}

CenterJournal::~CenterJournal() {
    close();
}

void CenterJournal::log(const std::string& line) const {
    if (options_.log) {
        options_.log("journal: " + line);
    }
}

std::string CenterJournal::doneRecord(std::uint64_t done,
                                      const std::map<std::string, std::uint64_t>& users) const {
    std::string payload;
    for (const auto& [user, seq] : users) {
        payload += user;
        payload += '\t';
        payload += std::to_string(seq);
        payload += '\n';
    }
    std::string record;
    jr::AppendDoneRecord(record, done, payload);
    return record;
}

bool CenterJournal::writeAll(const std::string& bytes, std::string& error) {
    const std::uint64_t start = segments_.back().bytes;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const ssize_t n =
            ::pwrite(fd_, bytes.data() + at, bytes.size() - at, static_cast<off_t>(start + at));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = jr::SystemError("cannot write " + jr::SegmentName(segments_.back().index),
                                    n < 0 ? errno : ENOSPC);
            // A record cut short would hide the ones written after it.
            if (::ftruncate(fd_, static_cast<off_t>(start)) == 0) {
                prepared_ = start;
            } else {
                ::close(fd_);
                fd_ = -1;  // the next batch starts a new segment
            }
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    segments_.back().bytes += bytes.size();
    prepared_ = std::max(prepared_, segments_.back().bytes);
    return true;
}

void CenterJournal::prepareRoom(std::size_t size) {
    const std::uint64_t needed = segments_.back().bytes + size;
    if (needed <= prepared_) {
        return;
    }
    const std::uint64_t end =
        std::max(needed, std::min(prepared_ + kPrepareStep, options_.segmentBytes));
    static const std::string zeros(64 * 1024, '\0');
    for (std::uint64_t at = prepared_; at < end;) {
        const std::size_t chunk =
            static_cast<std::size_t>(std::min<std::uint64_t>(zeros.size(), end - at));
        const ssize_t n = ::pwrite(fd_, zeros.data(), chunk, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // a disk nearly full: the records are written all the same
        }
        at += static_cast<std::uint64_t>(n);
    }
    if (::fdatasync(fd_) == 0) {
        prepared_ = end;
    }
}

bool CenterJournal::startSegment(std::string& error) {
    const std::uint32_t index = nextIndex_++;
    const auto path = options_.dir / jr::SegmentName(index);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = jr::SystemError("cannot create " + path.string(), errno);
        return false;
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
    prepared_ = 0;
    std::uint64_t everyone = 0;
    std::map<std::string, std::uint64_t> users;
    {
        std::lock_guard lock(mutex_);
        everyone = everyone_;
        users = users_;
    }
    segments_.push_back({index, segments_.empty() ? 0 : segments_.back().lastSeq, 0});
    std::string head(kCenterSegmentMagic);
    head += doneRecord(everyone, users);
    if (!writeAll(head, error) || ::fdatasync(fd_) != 0) {
        if (error.empty()) {
            error = jr::SystemError("cannot sync " + path.string(), errno);
        }
        return false;
    }
    jr::SyncDir(options_.dir);
    return true;
}

void CenterJournal::append(std::uint64_t seq, const std::string& line) {
    std::size_t size = 0;
    if (options_.later) {
        const std::size_t before = turn_.size();
        jr::AppendRecord(turn_, jr::RecordType::Entry, seq, line);
        turnLastSeq_ = seq;
        size = turn_.size() - before;
    } else {
        std::lock_guard lock(mutex_);
        const std::size_t before = pending_.size();
        jr::AppendRecord(pending_, jr::RecordType::Entry, seq, line);
        pendingLastSeq_ = seq;
        size = pending_.size() - before;
    }
    pendingBytes_.fetch_add(size, std::memory_order_relaxed);
    updateFull();
    wakeWriter();
}

void CenterJournal::handOver() {
    if (turn_.empty()) {
        return;
    }
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        if (pending_.empty()) {
            pending_.swap(turn_);
        } else {
            pending_ += turn_;
        }
        pendingLastSeq_ = turnLastSeq_;
        wake = writerIdle_;
    }
    if (wake) {
        wake_.notify_one();
    }
    turn_.clear();
    // A storm's turn (every login's online at once) leaves no large buffer
    // behind: the writer already keeps one of that size.
    if (turn_.capacity() > kKeptTurnBytes) {
        std::string().swap(turn_);
    }
}

void CenterJournal::wakeWriter() {
    if (!options_.later) {
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            wake = writerIdle_;
        }
        if (wake) {
            wake_.notify_one();
        }
        return;
    }
    if (wakeQueued_) {
        return;  // this turn's wake-up takes this event along
    }
    wakeQueued_ = true;
    options_.later([this] {
        wakeQueued_ = false;
        handOver();
    });
}

void CenterJournal::acknowledged(std::uint64_t everyone,
                                 const std::map<std::string, std::uint64_t>& users) {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        everyone_ = everyone;
        users_ = users;
        // Events waiting to be written take the marks along; so does a
        // writer already told of earlier marks.
        first = !marksChanged_ && pending_.empty() && writerIdle_;
        marksChanged_ = true;
    }
    if (first) {
        wake_.notify_one();
    }
}

void CenterJournal::updateFull() {
    const bool full = onDisk_.load(std::memory_order_relaxed) -
                          keptBytes_.load(std::memory_order_relaxed) +
                          pendingBytes_.load(std::memory_order_relaxed) >=
                      options_.maxBytes;
    if (full_.exchange(full) != full) {
        if (full) {
            log("LIMIT: " + std::to_string(options_.maxBytes >> 20) +
                " MiB of events wait for event servers to acknowledge them; location reports "
                "are refused (the terminals keep them and send them again) until they do");
        } else {
            log("below its limit again: location reports are taken again");
        }
    }
}

void CenterJournal::dropAcknowledgedSegments(std::uint64_t done) {
    // Acknowledged segments at the front, and how many bytes they hold.
    std::uint64_t acknowledged = 0;
    for (std::size_t i = 0; i + 1 < segments_.size() && segments_[i].lastSeq <= done; ++i) {
        acknowledged += segments_[i].bytes;
    }
    const std::uint64_t newest =
        std::max(writtenSeq_, segments_.empty() ? 0 : segments_.back().lastSeq);
    // Kept while recent and small; the oldest go first.
    const auto keep = [&](const Segment& s) {
        return newest - s.lastSeq < options_.keepRecentEvents &&
               acknowledged <= options_.maxBytes / 4;
    };
    bool removed = false;
    while (segments_.size() > 1 && segments_.front().lastSeq <= done && !keep(segments_.front())) {
        acknowledged -= segments_.front().bytes;
        std::error_code ec;
        std::filesystem::remove(options_.dir / jr::SegmentName(segments_.front().index), ec);
        segments_.pop_front();
        removed = true;
    }
    if (removed) {
        jr::SyncDir(options_.dir);
    }
    std::uint64_t bytes = 0;
    for (const Segment& s : segments_) {
        bytes += s.bytes;
    }
    onDisk_.store(bytes, std::memory_order_relaxed);
    keptBytes_.store(acknowledged, std::memory_order_relaxed);
}

void CenterJournal::run() {
    std::string batch;
    std::uint64_t lastFailureLog = 0;
    std::uint64_t failures = 0;
    // When the last sync started: the next waits for the interval after it.
    // None yet: the first is due at once. (The steady clock counts from the
    // boot, so its zero would hold the first sync back on a machine up for
    // less than the interval.)
    auto lastSync = std::chrono::steady_clock::now() - options_.syncInterval;
    net::BatchPace pace({options_.syncInterval, options_.syncInterval * kLongestSyncIntervals,
                         kEventsWantedPerSync, kFewestEventsPerSync});
    std::chrono::microseconds interval = options_.syncInterval;
    for (;;) {
        std::uint64_t batchLastSeq = 0;
        bool marks = false;
        std::uint64_t everyone = 0;
        std::map<std::string, std::uint64_t> users;
        {
            std::unique_lock lock(mutex_);
            if (options_.syncInterval > std::chrono::microseconds::zero()) {
                // What the io thread hands over meanwhile goes into pending_
                // and shares the next sync. Waited out before looking for
                // work: under a steady stream there is work by then, and the
                // writer wakes once a sync, by its own clock, however many
                // passes handed it events meanwhile.
                stopWake_.wait_until(lock, lastSync + interval, [this] { return stopping_; });
            }
            // Only a writer waiting here is woken by the io thread.
            writerIdle_ = true;
            wake_.wait(lock, [this] { return stopping_ || !pending_.empty() || marksChanged_; });
            if (pending_.empty() && !stopping_) {
                // Marks alone need not be on disk at once (a crash before
                // only sends event servers some events again): they wait a
                // little for events to share the sync with, so that at a
                // steady rate each acknowledgement does not cost one.
                wake_.wait_for(lock, kMarksWait, [this] { return stopping_ || !pending_.empty(); });
            }
            writerIdle_ = false;
            if (pending_.empty() && !marksChanged_) {
                return;  // stopping, with nothing left
            }
            batch.swap(pending_);
            pending_.clear();
            batchLastSeq = pendingLastSeq_;
            marks = marksChanged_;
            marksChanged_ = false;
            everyone = everyone_;
            users = users_;
        }
        const std::size_t entryBytes = batch.size();
        if (marks) {
            batch += doneRecord(everyone, users);
        }
        std::string error;
        bool ok = true;
        if (fd_ < 0 || segments_.back().bytes + batch.size() > options_.segmentBytes) {
            ok = startSegment(error);
        }
        if (ok) {
            prepareRoom(batch.size());
        }
        const auto syncStart = std::chrono::steady_clock::now();
        const std::uint64_t events = batchLastSeq > writtenSeq_ ? batchLastSeq - writtenSeq_ : 0;
        interval = pace.next(events, syncStart - lastSync);
        lastSync = syncStart;
        ok = ok && writeAll(batch, error);
        if (ok && ::fdatasync(fd_) != 0) {
            // What this segment got since its last sync is in doubt: write
            // it again, whole, in a new segment.
            error =
                jr::SystemError("cannot sync " + jr::SegmentName(segments_.back().index), errno);
            ::close(fd_);
            fd_ = -1;
            ok = false;
        }
        if (!ok) {
            ++failures;
            if (failures == 1 || failures - lastFailureLog >= 120) {
                lastFailureLog = failures;
                log(error +
                    "; events wait in memory, unanswered, and are written again in "
                    "half a second");
            }
            {
                std::lock_guard lock(mutex_);
                batch.resize(entryBytes);  // the marks are taken again from the latest
                pending_.insert(0, batch);
                if (batchLastSeq > pendingLastSeq_) {
                    pendingLastSeq_ = batchLastSeq;
                }
                marksChanged_ = marksChanged_ || marks;
                if (stopping_) {
                    log("stopping with " + std::to_string(pending_.size()) +
                        " bytes of events not on disk; their terminals were not answered and "
                        "send them again");
                    return;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            continue;
        }
        if (failures > 0) {
            log("the disk takes events again");
            failures = 0;
        }
        pendingBytes_.fetch_sub(entryBytes, std::memory_order_relaxed);
        if (batchLastSeq > 0) {
            segments_.back().lastSeq = std::max(segments_.back().lastSeq, batchLastSeq);
            if (batchLastSeq > writtenSeq_) {
                writtenSeq_ = batchLastSeq;
                durable_.store(writtenSeq_, std::memory_order_release);
                if (options_.durable) {
                    options_.durable(writtenSeq_);
                }
            }
        }
        if (marks) {
            dropAcknowledgedSegments(everyone);
        } else {
            dropAcknowledgedSegments(0);
        }
        updateFull();
        batch.clear();
    }
}

void CenterJournal::close() {
    // A turn cut short by the stop: its events are written all the same.
    handOver();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    stopWake_.notify_one();
    if (writer_.joinable()) {
        writer_.join();
    }
    if (fd_ >= 0) {
        // The zeros ahead of the records are of no use to the next open.
        if (::ftruncate(fd_, static_cast<off_t>(segments_.back().bytes)) == 0) {
            ::fdatasync(fd_);
        }
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace center
