// Opening the center's journal: the epoch, then what the segments of an
// earlier run hold, past any damage they took.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <random>

#include "center/center_journal.h"
#include "files/private_files.h"
#include "journal/files.h"
#include "journal/record.h"
#include "journal/scan.h"
#include "protocol/messages.h"

namespace center {

namespace jr = vardo::journal;
namespace protocol = vardo::protocol;

namespace {

bool ReadWhole(const std::filesystem::path& path, std::string& out, int& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return false;
    }
    const off_t size = ::lseek(fd, 0, SEEK_END);
    const bool ok = size >= 0 && jr::ReadAt(fd, 0, static_cast<std::size_t>(size), out);
    error = errno;
    ::close(fd);
    return ok;
}

// The epoch file holds the number in decimal; a new journal draws one and
// makes it durable before any event is numbered under it.
std::string LoadEpoch(const std::filesystem::path& dir, std::uint64_t& epoch) {
    const auto path = dir / "epoch";
    std::string text;
    int error = 0;
    if (ReadWhole(path, text, error)) {
        epoch = 0;
        for (const char c : text) {
            if (c == '\n') {
                break;
            }
            if (c < '0' || c > '9' || epoch > protocol::kMaxSequence / 10) {
                epoch = 0;
                break;
            }
            epoch = epoch * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (epoch == 0 || epoch > protocol::kMaxSequence) {
            return path.string() +
                   " does not hold an epoch; move it aside to start a new numbering";
        }
        return {};
    }
    if (error != ENOENT) {
        return jr::SystemError("cannot read " + path.string(), error);
    }
    std::random_device source;
    const std::uint64_t drawn = (std::uint64_t{source()} << 32) | source();
    epoch = (drawn & protocol::kMaxSequence) | 1;
    const auto temporary = dir / "epoch.new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0) {
        return jr::SystemError("cannot create " + temporary.string(), errno);
    }
    const std::string line = std::to_string(epoch) + "\n";
    const bool written =
        ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
        ::fdatasync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    if (!written) {
        return jr::SystemError("cannot write " + temporary.string(), writeError);
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        return "cannot rename " + temporary.string() + ": " + ec.message();
    }
    jr::SyncDir(dir);
    return {};
}

}  // namespace

std::string CenterJournal::open(Restored& restored) {
    restored = Restored{};
    std::error_code ec;
    if (!files::CreatePrivateFolders(options_.dir, ec)) {
        return "cannot create " + options_.dir.string() + ": " + ec.message();
    }
    if (std::string error = LoadEpoch(options_.dir, restored.epoch); !error.empty()) {
        return error;
    }
    std::vector<std::uint32_t> indexes;
    for (const auto& item : std::filesystem::directory_iterator(options_.dir, ec)) {
        std::uint32_t index = 0;
        if (jr::SegmentIndex(item.path().filename().string(), index)) {
            indexes.push_back(index);
        }
    }
    if (ec) {
        return "cannot list " + options_.dir.string() + ": " + ec.message();
    }
    std::sort(indexes.begin(), indexes.end());
    nextIndex_ = indexes.empty() ? 0 : indexes.back() + 1;

    std::vector<Entry> entries;  // every entry read, in number order
    std::uint64_t doneSeq = 0;
    for (const std::uint32_t index : indexes) {
        const auto path = options_.dir / jr::SegmentName(index);
        std::string bytes;
        int error = 0;
        if (!ReadWhole(path, bytes, error)) {
            return jr::SystemError("cannot read " + path.string(), error);
        }
        Segment segment{index, 0, bytes.size()};
        if (!std::string_view(bytes).starts_with(kCenterSegmentMagic)) {
            log(path.string() + " is not a segment of this journal (" +
                std::to_string(bytes.size()) + " bytes); left as it is");
            continue;
        }
        const auto scan = jr::ScanSegmentBytes(bytes, kCenterSegmentMagic.size());
        std::size_t offset = kCenterSegmentMagic.size();
        auto hole = scan.holes.begin();
        while (offset < scan.end) {
            if (hole != scan.holes.end() && hole->from == offset) {
                log("found a damaged record at offset " + std::to_string(offset) + " of " +
                    path.filename().string() + "; skipped " + std::to_string(hole->to - offset) +
                    " bytes, the records after them are read");
                offset = hole->to;
                ++hole;
                continue;
            }
            jr::Record record;
            if (jr::ReadRecord(std::string_view(bytes).substr(offset), record) !=
                jr::ReadStatus::Ok) {
                break;  // the scan said whole; only a changing file gets here
            }
            if (record.type == jr::RecordType::Entry) {
                if (entries.empty() || record.seq > entries.back().seq) {
                    entries.push_back({record.seq, std::string(record.payload)});
                }
                segment.lastSeq = std::max(segment.lastSeq, record.seq);
            } else if (record.seq >= doneSeq) {
                std::map<std::string, std::uint64_t> users;
                if (DecodeMarks(record.payload, users)) {
                    doneSeq = record.seq;
                    restored.acked = std::move(users);
                }
            }
            offset += record.size;
        }
        // Zeros after the last record: room a writer had made for the next
        // ones (center_journal.h), not damage.
        const bool roomAhead = std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(scan.end),
                                           bytes.end(), [](char c) { return c == 0; });
        if (scan.end < bytes.size() && roomAhead) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                if (::ftruncate(fd, static_cast<off_t>(scan.end)) == 0) {
                    segment.bytes = scan.end;
                }
                ::close(fd);
            }
        } else if (scan.end < bytes.size()) {
            log("dropped a record cut short at offset " + std::to_string(scan.end) + " of " +
                path.filename().string() + " (" + std::to_string(bytes.size() - scan.end) +
                " bytes): written, never synced, so never answered");
            const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                if (::ftruncate(fd, static_cast<off_t>(scan.end)) == 0) {
                    segment.bytes = scan.end;
                }
                ::close(fd);
            }
        }
        // What a killed process left in the kernel is on disk once synced:
        // it is taken as durable from here on.
        if (const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC); fd >= 0) {
            ::fdatasync(fd);
            ::close(fd);
        }
        segments_.push_back(segment);
    }

    restored.done = doneSeq;
    restored.lastSeq = std::max(doneSeq, entries.empty() ? 0 : entries.back().seq);
    std::uint64_t expected = doneSeq + 1;
    std::size_t waiting = 0;
    for (Entry& entry : entries) {
        if (entry.seq <= doneSeq) {
            restored.entries.push_back(std::move(entry));
            continue;
        }
        ++waiting;
        if (entry.seq > expected) {
            restored.missing += entry.seq - expected;
            log("events " + std::to_string(expected) + ".." + std::to_string(entry.seq - 1) +
                " are missing (a damaged or deleted segment): event servers that had not "
                "acknowledged them do not get them");
        }
        expected = entry.seq + 1;
        restored.entries.push_back(std::move(entry));
    }
    if (waiting > 0) {
        log(std::to_string(waiting) + " events of an earlier run (" +
            std::to_string(restored.entries[restored.entries.size() - waiting].seq) + ".." +
            std::to_string(restored.entries.back().seq) +
            ") wait for event servers to acknowledge them");
    }

    writtenSeq_ = restored.lastSeq;
    durable_.store(writtenSeq_, std::memory_order_release);
    everyone_ = doneSeq;
    users_ = restored.acked;
    dropAcknowledgedSegments(doneSeq);
    std::string error;
    if (!startSegment(error)) {
        return error;
    }
    dropAcknowledgedSegments(doneSeq);
    updateFull();
    writer_ = std::thread([this] { run(); });
    return {};
}

}  // namespace center
