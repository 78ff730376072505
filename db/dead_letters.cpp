#include "db/dead_letters.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "db/journal_statement_record.h"
#include "db/statement_journal.h"

namespace db {
namespace {

constexpr std::string_view kMagic{"VRDDLT01", 8};
constexpr const char* kRecords = "dead-letters.jnl";
constexpr const char* kLines = "dead-letters.txt";
constexpr mode_t kFileMode = 0640;
constexpr mode_t kDirMode = 0750;

bool AppendSynced(const std::filesystem::path& path, std::string_view head, std::string_view bytes,
                  std::string& why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        why = journal::SystemError("cannot open " + path.string(), errno);
        return false;
    }
    struct stat st {};
    std::string all;
    if (::fstat(fd, &st) == 0 && st.st_size == 0) {
        all = head;
    }
    all += bytes;
    std::size_t done = 0;
    while (done < all.size()) {
        const ssize_t n = ::write(fd, all.data() + done, all.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            why = journal::SystemError("cannot write " + path.string(), n < 0 ? errno : ENOSPC);
            // A part written stays: the reader stops at a record cut short.
            ::close(fd);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    const bool synced = ::fdatasync(fd) == 0;
    if (!synced) {
        why = journal::SystemError("cannot sync " + path.string(), errno);
    }
    ::close(fd);
    return synced;
}

}  // namespace

CDeadLetters::CDeadLetters(std::filesystem::path dir) : m_dir(std::move(dir)) {}

bool CDeadLetters::Add(const SqlCommand& command, const std::string& error, std::string& why) {
    std::lock_guard lock(m_mutex);
    if (::mkdir(m_dir.c_str(), kDirMode) != 0 && errno != EEXIST) {
        why = journal::SystemError("cannot create " + m_dir.string(), errno);
        return false;
    }
    std::string record;
    journal::AppendStatementRecord(record, m_count + 1, command);
    if (!AppendSynced(m_dir / kRecords, kMagic, record, why)) {
        return false;
    }
    // The operator's line; the record above is what counts.
    std::string line = FormatUtcMillis(std::chrono::system_clock::now()) + " UTC  " +
                       command.id().text() + "  " + error + "  " + command.text();
    for (char& c : line) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    std::string ignored;
    AppendSynced(m_dir / kLines, {}, line + "\n", ignored);
    ++m_count;
    return true;
}

std::uint64_t CDeadLetters::Count() const {
    std::lock_guard lock(m_mutex);
    return m_count;
}

bool CDeadLetters::Replay(const std::filesystem::path& dir, CStatementJournal& journal,
                          std::uint64_t& count, std::string& error) {
    count = 0;
    const auto path = dir / kRecords;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;  // nothing set aside
        }
        error = journal::SystemError("cannot read " + path.string(), errno);
        return false;
    }
    struct stat st {};
    std::string bytes;
    const bool read = ::fstat(fd, &st) == 0 &&
                      journal::ReadAt(fd, 0, static_cast<std::size_t>(st.st_size), bytes);
    const int readError = errno;
    ::close(fd);
    if (!read) {
        error = journal::SystemError("cannot read " + path.string(), readError);
        return false;
    }
    if (!bytes.starts_with(kMagic)) {
        error = path.string() + " is not a dead-letter file";
        return false;
    }
    std::string_view rest = std::string_view(bytes).substr(kMagic.size());
    std::uint64_t last = 0;
    while (!rest.empty()) {
        journal::Record record;
        if (journal::ReadRecord(rest, record) != journal::ReadStatus::Ok) {
            break;  // a write cut short: what follows was never kept
        }
        rest.remove_prefix(record.size);
        if (auto command = journal::DecodeStatement(record.payload)) {
            last = journal.Append(*command);
            ++count;
        }
    }
    journal.Flush(true);
    if (journal.SyncedUpTo() < last) {
        error = "the journal could not keep the statements set aside; " + path.string() +
                " stays as it is";
        return false;
    }
    for (int n = 1;; ++n) {
        const auto done = dir / ("dead-letters-replayed-" + std::to_string(n) + ".jnl");
        std::error_code ec;
        if (std::filesystem::exists(done, ec)) {
            continue;
        }
        std::filesystem::rename(path, done, ec);
        if (ec) {
            error = "cannot rename " + path.string() + ": " + ec.message();
            return false;
        }
        journal::SyncDir(dir);
        return true;
    }
}

}  // namespace db
