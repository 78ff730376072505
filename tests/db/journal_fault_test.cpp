// The statement journal under the faults real disks meet: a full disk (a
// write refused or cut short), a failed sync, damaged bytes in the middle of
// a segment, a deleted segment, the size limit; every statement is either
// read back, still in memory, or counted as lost, never silently gone.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "db/command_queue.h"
#include "db/journal_statement_record.h"
#include "db/statement_journal.h"
#include "tests/db/test_store.h"

namespace {

namespace fs = std::filesystem;

using dbtest::TempDir;

struct Logged {
    std::mutex mutex;
    std::vector<std::string> lines;
    db::CStatementJournal::LogSink Sink() {
        return [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
        };
    }
    bool Has(const std::string& text) {
        std::lock_guard lock(mutex);
        for (const auto& l : lines) {
            if (l.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

// A disk that takes `room` more bytes, then refuses (a write that does not
// fit is cut short where the room ends, as a full disk does), and whose
// syncs fail while `syncFails` is above 0.
class FullDisk : public db::JournalFileCalls {
public:
    std::atomic<std::int64_t> room{INT64_MAX};
    std::atomic<int> syncFails{0};

    ssize_t Write(int fd, const void* data, std::size_t size) override {
        const std::int64_t left = room.load();
        if (left <= 0) {
            errno = ENOSPC;
            return -1;
        }
        const std::size_t n = std::min<std::size_t>(size, static_cast<std::size_t>(left));
        const ssize_t written = ::write(fd, data, n);
        if (written > 0) {
            room -= written;
        }
        return written;
    }
    int Sync(int fd) override {
        if (syncFails.load() > 0) {
            --syncFails;
            errno = EIO;
            return -1;
        }
        return ::fdatasync(fd);
    }
};

db::SqlCommand Fix(int i) {
    const auto at = db::Clock::time_point(std::chrono::milliseconds(1'765'000'000'000LL + i));
    return db::MakeGpsFix("F" + std::to_string(i), {1.5, 2.5, 3, 4}, std::string(150, 'n'), at);
}

std::unique_ptr<db::CStatementJournal> Open(const fs::path& dir, Logged* log = nullptr,
                                            std::shared_ptr<db::JournalFileCalls> files = {},
                                            std::uint64_t maxBytes = 1u << 30,
                                            std::uint64_t segmentBytes = 0) {
    db::JournalOptions options;
    options.dir = dir;
    options.maxBytes = maxBytes;
    options.segmentBytes = segmentBytes;
    options.files = std::move(files);
    options.retryEvery = std::chrono::milliseconds(10);
    std::string error;
    auto j = db::CStatementJournal::Open(options, log ? log->Sink() : nullptr, error);
    EXPECT_TRUE(j) << error;
    return j;
}

// The device names of every statement read back from `from` on, in order.
std::vector<std::string> ReadNames(db::CStatementJournal& j, std::uint64_t from) {
    std::vector<db::CStatementJournal::Entry> out;
    while (true) {
        const std::size_t before = out.size();
        from = j.Read(from, 1000, out);
        if (out.size() == before) {
            break;
        }
    }
    std::vector<std::string> names;
    for (const auto& [seq, command] : out) {
        names.push_back(std::get<std::string>(command.params().at(0).value));
    }
    return names;
}

std::vector<std::string> Names(int first, int last) {
    std::vector<std::string> names;
    for (int i = first; i <= last; ++i) {
        names.push_back("F" + std::to_string(i));
    }
    return names;
}

template <typename Done>
bool WaitFor(Done done) {
    for (int i = 0; i < 1000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

std::vector<fs::path> Segments(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(JournalFaults, AWriteCutShortByAFullDiskIsCutBackAndWrittenAgainWhenSpaceReturns) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "journal";
    auto disk = std::make_shared<FullDisk>();
    Logged log;
    {
        auto j = Open(dir, &log, disk);
        for (int i = 0; i < 50; ++i) {
            j->Append(Fix(i));
        }
        j->Flush(true);
        disk->room = 100;  // the next record is cut short mid-way
        for (int i = 50; i < 150; ++i) {
            j->Append(Fix(i));
        }
        ASSERT_TRUE(WaitFor([&] { return j->MemoryOnly() == 100; })) << j->MemoryOnly();
        // Said once, at the first failure (with what was refused by then).
        EXPECT_TRUE(log.Has("statements are only in memory until the disk takes records again"));
        disk->room = INT64_MAX;  // space again
        ASSERT_TRUE(WaitFor([&] { return j->MemoryOnly() == 0; }));
        EXPECT_TRUE(log.Has("statements that were only in memory are written"));
        for (int i = 150; i < 160; ++i) {
            j->Append(Fix(i));
        }
        EXPECT_EQ(j->Close(std::chrono::seconds(5)), 0u);
    }
    Logged reopened;
    auto j = Open(dir, &reopened);
    EXPECT_EQ(j->DamagedRecords(), 0u);
    EXPECT_EQ(ReadNames(*j, j->FirstWaiting()), Names(0, 159));
    EXPECT_TRUE(reopened.Has("160 statements of an earlier run wait"));
}

TEST(JournalFaults, AFailedSyncWritesItsRecordsAgainInANewSegment) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "journal";
    auto disk = std::make_shared<FullDisk>();
    Logged log;
    {
        auto j = Open(dir, &log, disk);
        for (int i = 0; i < 20; ++i) {
            j->Append(Fix(i));
        }
        j->Flush(true);
        disk->syncFails = 1;
        for (int i = 20; i < 40; ++i) {
            j->Append(Fix(i));
        }
        ASSERT_TRUE(WaitFor([&] { return j->SyncedUpTo() == 40; })) << j->SyncedUpTo();
        EXPECT_TRUE(log.Has("cannot sync"));
        EXPECT_EQ(j->Close(std::chrono::seconds(5)), 0u);
    }
    EXPECT_GE(Segments(dir).size(), 2u);
    auto j = Open(dir);
    EXPECT_EQ(ReadNames(*j, j->FirstWaiting()), Names(0, 39));  // once each, in order
    EXPECT_EQ(j->WaitingAtOpen(), 40u);
}

TEST(JournalFaults, AStopWithTheDiskStillFullCountsWhatOnlyMemoryHeldAsLost) {
    TempDir tmp;
    auto disk = std::make_shared<FullDisk>();
    CMyCommandQueue q(1000);
    auto journal = Open(tmp.path() / "journal", nullptr, disk);
    for (int i = 0; i < 10; ++i) {
        journal->Append(Fix(i));
    }
    journal->Flush(true);
    q.AttachJournal(std::move(journal));
    disk->room = 0;
    for (int i = 10; i < 30; ++i) {
        q.Push(Fix(i));
    }
    // 10 on disk wait for the next start; 20 existed in memory only.
    EXPECT_EQ(q.Clear(), 10u);
    EXPECT_EQ(q.KeptCount(), 10u);
    EXPECT_EQ(q.DiscardedCount(), 20u);
}

TEST(JournalFaults, ARealFileSizeLimitCutsAWriteShortAndNothingIsLostOnceItIsRaised) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "journal";
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);  // EFBIG instead of the signal
    Logged log;
    {
        auto j = Open(dir, &log);
        struct rlimit small = saved;
        small.rlim_cur = 16 << 10;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        for (int i = 0; i < 300; ++i) {  // about 60 KiB
            j->Append(Fix(i));
        }
        const bool failed = WaitFor([&] { return j->MemoryOnly() > 0; });
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
        EXPECT_TRUE(failed);
        EXPECT_TRUE(log.Has("File too large"));
        ASSERT_TRUE(WaitFor([&] { return j->MemoryOnly() == 0; }));
        EXPECT_EQ(j->Close(std::chrono::seconds(5)), 0u);
    }
    ::signal(SIGXFSZ, oldHandler);
    auto j = Open(dir);
    EXPECT_EQ(j->DamagedRecords(), 0u);
    EXPECT_EQ(ReadNames(*j, j->FirstWaiting()), Names(0, 299));
}

// Three segments of statements F0..F(n-1); returns n.
int WriteThreeSegments(const fs::path& dir) {
    auto j = Open(dir, nullptr, {}, 1u << 30, 64u << 10);
    int n = 0;
    while (Segments(dir).size() < 3 || n % 50 != 0) {
        j->Append(Fix(n++));
        if (n % 50 == 0) {
            j->Flush(true);
        }
    }
    return n;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(JournalFaults, OneBadByteCostsOnlyItsRecordAndADeletedSegmentIsNamedAtTheOpen) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "journal";
    const int n = WriteThreeSegments(dir);
    const auto segments = Segments(dir);
    ASSERT_GE(segments.size(), 3u);

    {
        // One byte in the middle of the first segment, one in the last.
        const fs::path copy = tmp.path() / "flipped";
        fs::copy(dir, copy);
        for (const fs::path& seg : {segments.front(), segments.back()}) {
            std::string bytes = ReadFile(copy / seg.filename());
            ASSERT_GT(bytes.size(), 1000u);
            bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x10);
            std::ofstream(copy / seg.filename(), std::ios::binary) << bytes;
        }
        Logged log;
        auto j = Open(copy, &log);
        const auto names = ReadNames(*j, j->FirstWaiting());
        EXPECT_EQ(j->DamagedRecords(), 2u);
        EXPECT_GE(names.size(), static_cast<std::size_t>(n - 2));  // two records at most
        EXPECT_EQ(names.back(), "F" + std::to_string(n - 1));
        EXPECT_EQ(j->WaitingAtOpen(), names.size());
        EXPECT_EQ(j->MissingAtOpen() + names.size(), static_cast<std::size_t>(n));
        EXPECT_TRUE(log.Has("the records after them are read"));
    }
    {
        // The middle segment deleted by hand.
        const fs::path copy = tmp.path() / "deleted";
        fs::copy(dir, copy);
        fs::remove(copy / segments[1].filename());
        Logged log;
        auto j = Open(copy, &log);
        const auto names = ReadNames(*j, j->FirstWaiting());
        EXPECT_EQ(j->WaitingAtOpen(), names.size());
        EXPECT_EQ(j->MissingAtOpen() + names.size(), static_cast<std::size_t>(n));
        EXPECT_GT(j->MissingAtOpen(), 0u);
        EXPECT_TRUE(log.Has("are missing from"));
        EXPECT_TRUE(log.Has(std::to_string(names.size()) + " statements of an earlier run wait"));
    }
}

TEST(JournalFaults, TheSizeLimitTellsStatementsStillInMemoryFromLostOnesAndAStopCountsThem) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "journal";
    Logged log;
    constexpr int kWindow = 100;
    constexpr int kPushed = 3000;
    {
        CMyCommandQueue q(kWindow);
        q.AttachJournal(Open(dir, &log, {}, 256u << 10, 64u << 10));
        for (int i = 0; i < kPushed; ++i) {
            q.Push(Fix(i));
            if (i % 100 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));  // let it sync
            }
        }
        ASSERT_TRUE(WaitFor([&] { return log.Has("DISK LIMIT"); }));
        EXPECT_TRUE(log.Has("deleted from disk, still in memory: " + std::to_string(kWindow)));
        // The window's statements were deleted on disk: a stop loses them,
        // and says so.
        const std::size_t waiting = q.Clear();
        EXPECT_EQ(q.DiscardedCount(), static_cast<std::uint64_t>(kWindow));
        EXPECT_TRUE(log.Has(std::to_string(kWindow) + " statements whose records the size limit"));
        // Next start: what is on disk plus what is missing is everything.
        Logged again;
        auto j = Open(dir, &again);
        EXPECT_EQ(j->WaitingAtOpen(), waiting);
        EXPECT_EQ(j->WaitingAtOpen() + j->MissingAtOpen(), static_cast<std::uint64_t>(kPushed));
    }
}

TEST(JournalFaults, AfterTheSizeLimitTheWindowAndTheDiskGiveBackEveryStatementNotDeletedInOrder) {
    TempDir tmp;
    CMyCommandQueue q(50);
    q.AttachJournal(Open(tmp.path() / "journal", nullptr, {}, 256u << 10, 64u << 10));
    for (int i = 0; i < 3000; ++i) {
        q.Push(Fix(i));
    }
    std::atomic<bool> run{true};
    std::vector<std::string> got;
    // Every statement is taken or counted as dropped (those the limit deleted
    // are counted as the reader passes them).
    while (got.size() + q.DroppedCount() < 3000) {
        std::vector<db::SqlCommand> hand;
        ASSERT_GT(
            q.WaitTake(hand, 64, run, std::chrono::steady_clock::now() + std::chrono::seconds(30)),
            0u)
            << got.size() << " taken and " << q.DroppedCount() << " dropped of 3000";
        q.Settle(hand.size());
        for (const auto& c : hand) {
            got.push_back(std::get<std::string>(c.params().at(0).value));
        }
    }
    // The window's 50 come first, then the newest that the limit left; the
    // statements between are counted as dropped.
    ASSERT_GE(got.size(), 50u);
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 50), Names(0, 49));
    EXPECT_EQ(got.back(), "F2999");
    EXPECT_EQ(got.size() + q.DroppedCount(), 3000u);
    for (std::size_t k = 51; k < got.size(); ++k) {
        EXPECT_LT(std::stoi(got[k - 1].substr(1)), std::stoi(got[k].substr(1)));
    }
}

TEST(JournalFaults, WhatWaitedForTheDiskIsSpreadOverSegmentsSoTheLimitKeepsTheNewest) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "journal";
    auto disk = std::make_shared<FullDisk>();
    constexpr std::uint64_t kSegment = 64u << 10;
    auto j = Open(dir, nullptr, disk, 256u << 10, kSegment);
    disk->room = 0;
    // ~700 KiB wait in memory, then reach the disk in one go.
    for (int i = 0; i < 3000; ++i) {
        j->Append(Fix(i));
    }
    disk->room = INT64_MAX;
    ASSERT_TRUE(WaitFor([&] { return j->SyncedUpTo() >= 3000 && j->DiskBytes() <= 256u << 10; }));
    for (const auto& file : Segments(dir)) {
        std::error_code gone;  // the writer may be deleting it
        const auto size = fs::file_size(file, gone);
        EXPECT_LE(gone ? 0 : size, kSegment + 1024) << file;
    }
    // The limit took the oldest segments, never the newest records.
    const auto names = ReadNames(*j, 1);
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.back(), "F2999");
    EXPECT_EQ(names, Names(3000 - static_cast<int>(names.size()), 2999));
}

TEST(JournalTarget, StatementsForAnotherDatabaseAreLeftAsideLoudlyAndCanGoBackWhereTheyBelong) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "journal";
    const auto open = [&](const std::string& target, Logged* log = nullptr) {
        db::JournalOptions options;
        options.dir = dir;
        options.target = target;
        std::string error;
        auto j = db::CStatementJournal::Open(options, log ? log->Sink() : nullptr, error);
        EXPECT_TRUE(j) << error;
        return j;
    };
    {
        auto j = open("host=/run/pg dbname=fleet password=***");
        for (int i = 0; i < 9; ++i) {
            j->Append(Fix(i));
        }
    }
    {
        // Config.ini now points at a SQLite file: nothing of the above goes there.
        Logged log;
        auto j = open("sqlite:events.db", &log);
        EXPECT_EQ(j->WaitingAtOpen(), 0u);
        EXPECT_EQ(j->LeftAsideAtOpen(), 9u);
        EXPECT_TRUE(ReadNames(*j, j->FirstWaiting()).empty());
        EXPECT_TRUE(log.Has("ANOTHER DATABASE: 9 statements"));
        EXPECT_TRUE(log.Has("were written for host=/run/pg dbname=fleet password=***"));
        j->Append(Fix(100));
        j->MarkDone(j->NextSeq() - 1);
    }
    ASSERT_TRUE(fs::is_directory(dir / "other-database-1"));
    {
        // The same target again: nothing moves.
        Logged log;
        auto j = open("sqlite:events.db", &log);
        EXPECT_EQ(j->LeftAsideAtOpen(), 0u);
        EXPECT_FALSE(log.Has("ANOTHER DATABASE"));
    }
    // As the line says: back to the first database, the folder's files
    // replaced with those set aside.
    for (const auto& file : Segments(dir)) {
        if (fs::is_regular_file(file)) {
            fs::remove(file);
        }
    }
    for (const auto& file : Segments(dir / "other-database-1")) {
        fs::rename(file, dir / file.filename());
    }
    auto j = open("host=/run/pg dbname=fleet password=***");
    EXPECT_EQ(ReadNames(*j, j->FirstWaiting()), Names(0, 8));
}

}  // namespace
