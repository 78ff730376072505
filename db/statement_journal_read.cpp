// Reading statements back from the segments: what an earlier run left, and
// what waits on disk only while the queue's window is full.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "db/journal_statement_record.h"
#include "db/statement_journal.h"

namespace db {
namespace {

// How much the reader takes from a file at once (a record may need more).
constexpr std::size_t kReadChunk = std::size_t{1} << 20;

}  // namespace

using journal::SystemError;

std::uint64_t CStatementJournal::Read(std::uint64_t from, std::size_t max,
                                      std::vector<Entry>& out) {
    // Everything appended before this call is first written (it may be in
    // the writer's buffer, or in the write under way). Below `written`, a seq
    // found in no segment is missing (deleted by the size limit, damaged); at
    // or above it, it is still on its way (a write failed) and read later.
    std::uint64_t written = 0;
    {
        std::unique_lock lock(m_mutex);
        const std::uint64_t ticket = m_ticket;
        if (m_writtenTicket < ticket) {
            m_wakeWriter.notify_one();
            m_progress.wait(lock, [&] { return m_stop || m_failing || m_writtenTicket >= ticket; });
        }
        written = m_writtenSeq + 1;
    }
    // The caller holds what it read: the size limit deleting it loses nothing
    // yet.
    struct Hold {
        CStatementJournal& journal;
        std::uint64_t& from;
        ~Hold() {
            std::lock_guard lock(journal.m_mutex);
            journal.m_heldBelow = std::max(journal.m_heldBelow, from);
        }
    } hold{*this, from};
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
            bool skipTo = false;  // `used` jumps over a damaged stretch
            const std::uint64_t left = segment.bytes - offset;
            std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadChunk));
            if (!journal::ReadAt(fd, offset, want, bytes)) {
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
                    if (!journal::ReadAt(fd, offset, want, bytes)) {
                        break;
                    }
                    rest = bytes;
                    continue;
                }
                if (status != journal::ReadStatus::Ok) {
                    // Damaged: the open found where whole records go on.
                    const std::uint64_t at = offset + used;
                    const auto hole =
                        std::find_if(segment.holes.begin(), segment.holes.end(),
                                     [&](const auto& h) { return h.first <= at && at < h.second; });
                    if (hole == segment.holes.end()) {
                        segmentDone = true;
                    } else {
                        used = hole->second - offset;
                        skipTo = true;
                    }
                    break;
                }
                used += record.size;
                if (record.type != journal::RecordType::Entry || record.seq < from) {
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
            if (offset >= segment.bytes || (used == 0 && !skipTo)) {
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
