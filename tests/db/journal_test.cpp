// The statement journal: its record format, what a reopen finds after a
// clean close, a crash or a write cut short, and the queue's window onto it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <array>
#include <atomic>
#include <bit>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <variant>

#include "db/command_queue.h"
#include "db/journal_statement_record.h"
#include "db/statement_journal.h"
#include "journal/bytes.h"
#include "journal/record.h"
#include "tests/db/test_store.h"

namespace {

namespace fs = std::filesystem;
using db::journal::ReadStatus;

using dbtest::TempDir;

// Statements with every kind of value, texts that need care included.
db::SqlCommand MakeStatement(int i) {
    const auto at = db::Clock::time_point(std::chrono::milliseconds(1'765'000'000'000LL + i));
    if (i % 3 == 0) {
        return db::MakeOnlineEvent("车-" + std::to_string(i), at);
    }
    return db::MakeGpsFix("O'Brien \"" + std::to_string(i) + "\"",
                          {25.0520566666667 + i, -121.67613, 18.9, 90.0},
                          i % 2 == 0 ? "" : "$GPRMC,x\n\0y", at);
}

// The same statement (same id) for the same i within a test run.
const db::SqlCommand& Statement(int i) {
    static const std::vector<db::SqlCommand> all = [] {
        std::vector<db::SqlCommand> v;
        for (int k = 0; k <= 1000; ++k) {
            v.push_back(MakeStatement(k));
        }
        return v;
    }();
    return all.at(static_cast<std::size_t>(i));
}

void ExpectSame(const db::SqlCommand& a, const db::SqlCommand& b) {
    EXPECT_EQ(a.text(), b.text());
    EXPECT_EQ(a.id(), b.id());
    EXPECT_EQ(a.builtAt(), b.builtAt());
    ASSERT_EQ(a.params().size(), b.params().size());
    for (std::size_t k = 0; k < a.params().size(); ++k) {
        EXPECT_EQ(a.params()[k].name, b.params()[k].name);
        EXPECT_EQ(a.params()[k].value, b.params()[k].value);  // bit for bit, type included
    }
}

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

std::unique_ptr<db::CStatementJournal> OpenJournal(const fs::path& dir, Logged* log = nullptr,
                                                   std::uint64_t maxBytes = 1u << 30,
                                                   std::uint64_t segmentBytes = 0) {
    db::JournalOptions options;
    options.dir = dir;
    options.maxBytes = maxBytes;
    options.segmentBytes = segmentBytes;
    std::string error;
    auto j = db::CStatementJournal::Open(options, log ? log->Sink() : nullptr, error);
    EXPECT_TRUE(j) << error;
    return j;
}

std::vector<db::CStatementJournal::Entry> ReadAll(db::CStatementJournal& j, std::uint64_t from) {
    std::vector<db::CStatementJournal::Entry> out;
    while (true) {
        const std::size_t before = out.size();
        from = j.Read(from, 1000, out);
        if (out.size() == before) {
            return out;
        }
    }
}

std::vector<fs::path> Segments(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Files written by any build, on any processor, must read back: the
// checksum is CRC-32C whichever way it is computed. The vectors of RFC 3720
// (B.4), then every length and alignment across the 8-byte steps, each
// against the same bytes checked in two pieces.
TEST(JournalRecord, TheChecksumIsCrc32cAtEveryLengthAndAlignment) {
    using vardo::journal::Crc32c;
    std::array<unsigned char, 32> bytes{};
    EXPECT_EQ(Crc32c(bytes.data(), bytes.size()), 0x8A9136AAu);
    bytes.fill(0xFF);
    EXPECT_EQ(Crc32c(bytes.data(), bytes.size()), 0x62A8AB43u);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(i);
    }
    EXPECT_EQ(Crc32c(bytes.data(), bytes.size()), 0x46DD794Eu);
    EXPECT_EQ(Crc32c("123456789", 9), 0xE3069283u);

    std::mt19937 random(7);
    std::string text(100, '\0');
    for (char& c : text) {
        c = static_cast<char>(random());
    }
    for (std::size_t from = 0; from < 9; ++from) {
        for (std::size_t size = 0; from + size <= text.size(); ++size) {
            const char* p = text.data() + from;
            const std::size_t cut = size / 3;
            ASSERT_EQ(Crc32c(p, size), Crc32c(p + cut, size - cut, Crc32c(p, cut)))
                << "from " << from << ", size " << size;
        }
    }
}

TEST(JournalRecord, StatementsComeBackExactlyAndEveryCutOrFlipIsCaught) {
    std::string bytes;
    for (int i = 0; i < 6; ++i) {
        db::journal::AppendStatementRecord(bytes, 100 + i, Statement(i));
    }
    db::journal::AppendDoneRecord(bytes, 103);

    std::string_view rest(bytes);
    for (int i = 0; i < 6; ++i) {
        db::journal::Record r;
        ASSERT_EQ(db::journal::ReadRecord(rest, r), ReadStatus::Ok);
        EXPECT_EQ(r.type, db::journal::RecordType::Entry);
        EXPECT_EQ(r.seq, std::uint64_t(100 + i));
        const auto back = db::journal::DecodeStatement(r.payload);
        ASSERT_TRUE(back);
        ExpectSame(*back, Statement(i));
        rest.remove_prefix(r.size);
    }
    db::journal::Record done;
    ASSERT_EQ(db::journal::ReadRecord(rest, done), ReadStatus::Ok);
    EXPECT_EQ(done.type, db::journal::RecordType::Done);
    EXPECT_EQ(done.seq, 103u);
    EXPECT_EQ(db::journal::ReadRecord(rest.substr(done.size), done), ReadStatus::End);

    // One record: every shorter prefix is cut short, every changed byte is
    // refused (a length made larger may also read as cut short); none reads
    // as a record.
    std::string one;
    db::journal::AppendStatementRecord(one, 7, Statement(1));
    for (std::size_t n = 1; n < one.size(); ++n) {
        db::journal::Record r;
        EXPECT_EQ(db::journal::ReadRecord(std::string_view(one).substr(0, n), r), ReadStatus::Torn)
            << n;
    }
    for (std::size_t at = 0; at < one.size(); ++at) {
        for (const unsigned char flip : {0x01, 0x80}) {
            std::string damaged = one;
            damaged[at] = static_cast<char>(damaged[at] ^ flip);
            db::journal::Record r;
            const ReadStatus s = db::journal::ReadRecord(damaged, r);
            EXPECT_TRUE(s == ReadStatus::Corrupt || s == ReadStatus::Torn) << at;
        }
    }
    // Zeros, as a file extended but never written shows after a power cut.
    db::journal::Record r;
    EXPECT_EQ(db::journal::ReadRecord(std::string(64, '\0'), r), ReadStatus::Corrupt);
}

// Journals written by earlier builds are read by later ones and the other way
// round: a statement's record keeps its bytes, spelled out here field by field
// (journal/record.h and db/journal_statement_record.h), for every kind of
// value and behind records already in the buffer.
TEST(JournalRecord, AStatementRecordKeepsItsBytesFieldByField) {
    using db::journal::PutLe;
    using db::journal::PutText;
    using db::journal::PutU8;
    for (int i = 0; i < 6; ++i) {
        const db::SqlCommand& command = Statement(i);
        std::string payload;
        PutLe<std::uint64_t>(payload, static_cast<std::uint64_t>(
                                          std::chrono::duration_cast<std::chrono::nanoseconds>(
                                              command.builtAt().time_since_epoch())
                                              .count()));
        PutLe<std::uint64_t>(payload, command.id().hi());
        PutLe<std::uint64_t>(payload, command.id().lo());
        PutText(payload, command.procedure());
        PutLe<std::uint32_t>(payload, static_cast<std::uint32_t>(command.params().size()));
        for (const db::SqlParam& p : command.params()) {
            PutText(payload, p.name);
            if (const auto* text = std::get_if<std::string>(&p.value)) {
                PutU8(payload, 0);
                PutText(payload, *text);
            } else if (const auto* real = std::get_if<double>(&p.value)) {
                PutU8(payload, 1);
                PutLe<std::uint64_t>(payload, std::bit_cast<std::uint64_t>(*real));
            } else {
                PutU8(payload, 2);
                PutLe<std::uint64_t>(payload,
                                     static_cast<std::uint64_t>(std::get<std::int64_t>(p.value)));
            }
        }
        const std::uint64_t seq = 0x0102030405060708ULL + static_cast<std::uint64_t>(i);
        std::string framed;
        PutLe<std::uint32_t>(framed, static_cast<std::uint32_t>(payload.size()));
        PutU8(framed, 1);  // an entry
        PutLe<std::uint64_t>(framed, seq);
        framed += payload;
        std::string expected = "earlier records";
        PutLe<std::uint32_t>(expected, db::journal::Crc32c(framed.data(), framed.size()));
        expected += framed;

        std::string bytes = "earlier records";
        db::journal::AppendStatementRecord(bytes, seq, command);
        EXPECT_EQ(bytes, expected) << i;
        std::string copied = "earlier records";
        db::journal::AppendRecord(copied, db::journal::RecordType::Entry, seq, payload);
        EXPECT_EQ(copied, expected) << i;
    }
}

TEST(StatementJournal, AReopenFindsWhatWasNotDoneInOrderAndKeepsFileModesTight) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "journal";
    {
        auto j = OpenJournal(dir);
        ASSERT_TRUE(j);
        EXPECT_EQ(j->FirstWaiting(), 1u);
        for (int i = 0; i < 50; ++i) {
            EXPECT_EQ(j->Append(Statement(i)), std::uint64_t(i + 1));
        }
        j->MarkDone(20);
    }
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    for (const auto& seg : Segments(dir)) {
        ASSERT_EQ(::stat(seg.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u) << seg;
    }

    Logged log;
    auto j = OpenJournal(dir, &log);
    ASSERT_TRUE(j);
    EXPECT_EQ(j->FirstWaiting(), 21u);
    EXPECT_EQ(j->NextSeq(), 51u);
    EXPECT_TRUE(log.Has("30 statements of an earlier run wait"));
    const auto back = ReadAll(*j, j->FirstWaiting());
    ASSERT_EQ(back.size(), 30u);
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(back[static_cast<std::size_t>(i)].first, std::uint64_t(21 + i));
        ExpectSame(back[static_cast<std::size_t>(i)].second, Statement(20 + i));
    }
    // New statements follow the old ones.
    EXPECT_EQ(j->Append(Statement(99)), 51u);
    const auto more = ReadAll(*j, 51);
    ASSERT_EQ(more.size(), 1u);
    ExpectSame(more[0].second, Statement(99));
}

TEST(StatementJournal, ALastSegmentCutAnywhereGivesBackEveryWholeRecordBeforeTheCut) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "journal";
    {
        auto j = OpenJournal(dir);
        for (int i = 0; i < 40; ++i) {
            j->Append(Statement(i));
        }
    }
    const auto segments = Segments(dir);
    ASSERT_EQ(segments.size(), 1u);
    std::string file;
    {
        std::ifstream in(segments[0], std::ios::binary);
        file.assign(std::istreambuf_iterator<char>(in), {});
    }
    // Where each record ends, so the expected count at any cut is known.
    std::vector<std::size_t> ends;  // of statements
    std::vector<std::size_t> boundaries{db::journal::kSegmentMagic.size()};
    std::size_t at = db::journal::kSegmentMagic.size();
    while (true) {
        db::journal::Record r;
        if (db::journal::ReadRecord(std::string_view(file).substr(at), r) != ReadStatus::Ok) {
            break;
        }
        at += r.size;
        boundaries.push_back(at);
        if (r.type == db::journal::RecordType::Entry) {
            ends.push_back(at);
        }
    }
    ASSERT_EQ(ends.size(), 40u);

    std::mt19937 random(1234);
    std::vector<std::size_t> cuts{0,           3,       db::journal::kSegmentMagic.size(),
                                  ends[0] - 1, ends[0], file.size() - 1};
    for (int i = 0; i < 40; ++i) {
        cuts.push_back(std::uniform_int_distribution<std::size_t>(0, file.size())(random));
    }
    for (const std::size_t cut : cuts) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const fs::path copy = tmp.path() / ("cut-" + std::to_string(cut));
        fs::create_directories(copy);
        std::ofstream(copy / segments[0].filename(), std::ios::binary) << file.substr(0, cut);
        const auto whole = static_cast<std::size_t>(
            std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin());
        Logged log;
        {
            auto j = OpenJournal(copy, &log);
            ASSERT_TRUE(j);
            const auto back = ReadAll(*j, j->FirstWaiting());
            ASSERT_EQ(back.size(), whole);
            for (std::size_t k = 0; k < whole; ++k) {
                ExpectSame(back[k].second, Statement(static_cast<int>(k)));
            }
            const bool torn =
                cut > db::journal::kSegmentMagic.size() && cut < file.size() &&
                std::find(boundaries.begin(), boundaries.end(), cut) == boundaries.end();
            EXPECT_EQ(log.Has("dropped a record cut short"), torn);
            // New statements after the recovered ones.
            j->Append(Statement(1000));
        }
        // The cut file was mended: a second reopen finds nothing damaged.
        auto again = OpenJournal(copy);
        EXPECT_EQ(again->DamagedRecords(), 0u);
        EXPECT_EQ(ReadAll(*again, again->FirstWaiting()).size(), whole + 1);
    }
}

// The system's file calls, counted.
class CountedFiles : public db::JournalFileCalls {
public:
    std::atomic<int> syncs{0};
    int Sync(int fd) override {
        ++syncs;
        return JournalFileCalls::Sync(fd);
    }
};

template <typename Done>
bool WaitFor(Done done) {
    for (int i = 0; i < 1000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

TEST(StatementJournal, UnderAStreamRecordsAreWrittenAtOnceAndSyncedTogetherAfterTheGap) {
    TempDir tmp;
    auto files = std::make_shared<CountedFiles>();
    db::JournalOptions options;
    options.dir = tmp.path() / "journal";
    options.files = files;
    // Long enough that nothing but the rule under test syncs here.
    options.syncEvery = std::chrono::minutes(10);
    options.syncGap = std::chrono::minutes(10);
    std::string error;
    auto j = db::CStatementJournal::Open(options, nullptr, error);
    ASSERT_TRUE(j) << error;

    // A record after a quiet spell is synced at once.
    const std::uint64_t first = j->Append(Statement(1));
    ASSERT_TRUE(WaitFor([&] { return j->SyncedUpTo() >= first; }));
    const int syncs = files->syncs;

    // Those within the gap reach the file at once (a crash of the process
    // loses none), and wait for the next sync.
    const std::uint64_t second = j->Append(Statement(2));
    const std::uint64_t third = j->Append(Statement(3));
    ASSERT_TRUE(WaitFor([&] {
        std::vector<db::CStatementJournal::Entry> out;
        j->Read(second, 10, out);
        return out.size() == 2;
    }));
    EXPECT_EQ(files->syncs, syncs);
    EXPECT_EQ(j->SyncedUpTo(), first);

    // Whoever needs them synced asks, and is not kept waiting for the gap.
    j->Flush(true);
    EXPECT_GE(j->SyncedUpTo(), third);
    EXPECT_EQ(files->syncs, syncs + 1);
    EXPECT_EQ(j->Close(std::chrono::seconds(5)), 0u);
}

// Appends that put off the writer's wake (a run of them, woken once after) are
// written and synced when the wake comes, and within syncEvery when it never
// does: a forgotten wake delays records, it never strands them in memory.
TEST(StatementJournal, AppendsThatPutOffTheWakeReachTheDiskWithItOrWithinSyncEvery) {
    TempDir tmp;
    for (const bool wake : {true, false}) {
        db::JournalOptions options;
        options.dir = tmp.path() / (wake ? "woken" : "never-woken");
        options.syncEvery = wake ? std::chrono::minutes(10) : std::chrono::milliseconds(50);
        options.syncGap = std::chrono::milliseconds(0);
        std::string error;
        auto j = db::CStatementJournal::Open(options, nullptr, error);
        ASSERT_TRUE(j) << error;
        std::uint64_t last = 0;
        for (int i = 1; i <= 3; ++i) {
            last = j->Append(Statement(i), false, db::JournalWake::Later);
        }
        if (wake) {
            j->WakeWriter();
        }
        EXPECT_TRUE(WaitFor([&] { return j->SyncedUpTo() >= last; })) << wake;
        std::vector<db::CStatementJournal::Entry> out = ReadAll(*j, 1);
        ASSERT_EQ(out.size(), 3u) << wake;
        ExpectSame(out[2].second, Statement(3));
    }
}

TEST(StatementJournal, DoneSegmentsAreDeletedAndTheSizeLimitDropsTheOldestLoudly) {
    TempDir tmp;
    const std::string gps(400, 'x');
    {
        // Everything done as it goes: the folder stays one or two segments.
        auto j = OpenJournal(tmp.path() / "done", nullptr, 1u << 30, 64u << 10);
        for (int i = 1; i <= 5000; ++i) {
            j->Append(db::MakeGpsFix("D", {1, 2, 3, 4}, gps));
            j->MarkDone(static_cast<std::uint64_t>(i));
            if (i % 20 == 0) {
                j->Flush(i % 500 == 0);  // a segment may overrun by one batch: keep them small
            }
        }
        j->Flush(true);
        EXPECT_LE(Segments(tmp.path() / "done").size(), 2u);
        EXPECT_LE(j->DiskBytes(), 2u * (64u << 10) + 20000);
    }
    Logged log;
    auto j = OpenJournal(tmp.path() / "full", &log, 256u << 10, 64u << 10);
    for (int i = 1; i <= 3000; ++i) {
        j->Append(db::MakeGpsFix("D" + std::to_string(i), {1, 2, 3, 4}, gps));
        if (i % 100 == 0) {
            j->Flush(true);
        }
    }
    j->Flush(true);
    EXPECT_LE(j->DiskBytes(), (256u << 10) + (64u << 10));
    EXPECT_GT(j->RemovedWaiting(), 0u);
    EXPECT_TRUE(log.Has("DISK LIMIT"));
    // What is left is the newest, in order, without a gap.
    const auto left = ReadAll(*j, 1);
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(left.back().first, 3000u);
    EXPECT_EQ(left.front().first + left.size() - 1, 3000u);
    EXPECT_EQ(j->RemovedWaiting() + left.size(), 3000u);
}

TEST(JournalQueue, AnOutageLongerThanTheWindowSpillsToDiskAndComesBackInOrder) {
    TempDir tmp;
    CMyCommandQueue q(10);
    q.AttachJournal(OpenJournal(tmp.path() / "journal"));
    std::vector<db::SqlCommand> sent;
    for (int i = 0; i < 100; ++i) {
        sent.push_back(Statement(i));
        q.Push(sent.back());
    }
    EXPECT_EQ(q.Pending(), 100u);
    EXPECT_EQ(q.SpilledCount(), 90u);
    std::atomic<bool> run{true};
    std::vector<db::SqlCommand> got;
    while (got.size() < 100) {
        std::vector<db::SqlCommand> hand;
        ASSERT_GT(q.WaitTake(hand, 7, run), 0u);
        q.Settle(hand.size());
        got.insert(got.end(), hand.begin(), hand.end());
    }
    for (int i = 0; i < 100; ++i) {
        ExpectSame(got[static_cast<std::size_t>(i)], sent[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(q.Pending(), 0u);
    EXPECT_EQ(q.DetachJournal(), 0u);
    EXPECT_EQ(q.DroppedCount(), 0u);
}

TEST(JournalQueue, WhatWaitsAtStopGoesFirstAtTheNextStartAndARejectedOneStaysDone) {
    TempDir tmp;
    const fs::path dir = tmp.path() / "journal";
    std::atomic<bool> run{true};
    {
        CMyCommandQueue q(4);
        q.AttachJournal(OpenJournal(dir));
        for (int i = 0; i < 10; ++i) {
            q.Push(Statement(i));
        }
        std::vector<db::SqlCommand> hand;
        ASSERT_EQ(q.WaitTake(hand, 4, run), 4u);
        q.Settle(1, 1);  // the second one rejected: it leaves first
        hand.erase(hand.begin() + 1);
        q.Settle(0, 1);  // then the first committed
        hand.erase(hand.begin());
        q.PutBack(hand);  // the stop: 2 and 3 were not committed
        EXPECT_EQ(q.Clear(), 8u);
        EXPECT_EQ(q.KeptCount(), 8u);
        EXPECT_EQ(q.DiscardedCount(), 0u);
    }
    CMyCommandQueue q(4);
    q.AttachJournal(OpenJournal(dir));
    q.Push(Statement(100));
    EXPECT_EQ(q.Pending(), 9u);
    std::vector<db::SqlCommand> got;
    while (got.size() < 9) {
        std::vector<db::SqlCommand> hand;
        ASSERT_GT(q.WaitTake(hand, 3, run), 0u);
        q.Settle(hand.size());
        got.insert(got.end(), hand.begin(), hand.end());
    }
    std::vector<int> expected{2, 3, 4, 5, 6, 7, 8, 9, 100};
    for (std::size_t k = 0; k < expected.size(); ++k) {
        ExpectSame(got[k], Statement(expected[k]));
    }
    EXPECT_EQ(q.ReplayedCount(), 8u);
    EXPECT_EQ(q.Clear(), 0u);
}

}  // namespace
