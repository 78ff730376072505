// The center's journal on a real folder: what a run wrote and synced is what
// the next open finds, under the same epoch, with the event servers' marks;
// damage costs only the records it touches; the size bound refuses and frees.

#include "center/center_journal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

namespace center {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class JournalFolder {
public:
    JournalFolder() {
        char pattern[] = "/tmp/vardo-center-journal-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~JournalFolder() { fs::remove_all(path_); }
    fs::path dir() const { return path_ / "journal"; }

private:
    fs::path path_;
};

// One journal run, with what it logged and how far it has synced.
class JournalRun {
public:
    explicit JournalRun(const fs::path& dir, std::uint64_t maxBytes = std::uint64_t{1} << 30,
                        std::uint64_t segmentBytes = 32u << 20,
                        std::function<void(std::function<void()>)> later = {},
                        std::chrono::microseconds syncInterval = {},
                        std::uint64_t keepRecentEvents = 0)
        : journal_(CenterJournal::Options{dir, maxBytes, segmentBytes,
                                          [this](const std::string& line) {
                                              std::lock_guard lock(mutex_);
                                              log_ += line + "\n";
                                          },
                                          [this](std::uint64_t seq) {
                                              std::lock_guard lock(mutex_);
                                              durable_ = seq;
                                              advances_.push_back(seq);
                                              changed_.notify_all();
                                          },
                                          std::move(later), syncInterval, keepRecentEvents}) {}

    CenterJournal& journal() { return journal_; }
    bool waitDurable(std::uint64_t seq) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return durable_ >= seq; });
    }
    std::string log() {
        std::lock_guard lock(mutex_);
        return log_;
    }
    // Each number `durable` was called with, in order.
    std::vector<std::uint64_t> advances() {
        std::lock_guard lock(mutex_);
        return advances_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t durable_ = 0;
    std::vector<std::uint64_t> advances_;
    std::string log_;
    CenterJournal journal_;
};

std::string Line(std::uint64_t seq) {
    return R"({"op":"gps","dev":"13912340000","gps":"fix )" + std::to_string(seq) + "\"}\n";
}

std::vector<fs::path> Segments(const fs::path& dir) {
    std::vector<fs::path> out;
    for (const auto& item : fs::directory_iterator(dir)) {
        if (item.path().extension() == ".jnl") {
            out.push_back(item.path());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A journal opened again on `dir` gives back events 1..last, the last one whole.
void ExpectReopenedWithEvents(const fs::path& dir, std::uint64_t last) {
    JournalRun again(dir);
    CenterJournal::Restored restored;
    ASSERT_EQ(again.journal().open(restored), "");
    ASSERT_EQ(restored.entries.size(), last);
    EXPECT_EQ(restored.entries.back().line, Line(last));
}

TEST(CenterJournal, WhatWasSyncedIsFoundAgainUnderTheSameEpochWithTheMarks) {
    JournalFolder folder;
    std::uint64_t epoch = 0;
    {
        JournalRun run(folder.dir());
        CenterJournal::Restored restored;
        ASSERT_EQ(run.journal().open(restored), "");
        EXPECT_NE(restored.epoch, 0u);
        EXPECT_EQ(restored.lastSeq, 0u);
        EXPECT_TRUE(restored.entries.empty());
        epoch = restored.epoch;
        for (std::uint64_t seq = 1; seq <= 100; ++seq) {
            run.journal().append(seq, Line(seq));
        }
        ASSERT_TRUE(run.waitDurable(100));
        // Two event servers: one has all up to 60, the other up to 40.
        run.journal().acknowledged(40, {{"a", 60}, {"b", 40}});
        run.journal().append(101, Line(101));
        ASSERT_TRUE(run.waitDurable(101));
        // No close: a killed process leaves no goodbye.
    }
    JournalRun again(folder.dir());
    CenterJournal::Restored restored;
    ASSERT_EQ(again.journal().open(restored), "");
    EXPECT_EQ(restored.epoch, epoch);
    EXPECT_EQ(restored.lastSeq, 101u);
    EXPECT_EQ(restored.done, 40u);
    EXPECT_EQ(restored.acked, (std::map<std::string, std::uint64_t>{{"a", 60}, {"b", 40}}));
    ASSERT_EQ(restored.entries.size(), 101u);
    for (std::size_t i = 0; i < restored.entries.size(); ++i) {
        EXPECT_EQ(restored.entries[i].seq, i + 1);
        EXPECT_EQ(restored.entries[i].line, Line(i + 1));
    }
    EXPECT_EQ(restored.missing, 0u);
    EXPECT_NE(again.log().find("61 events of an earlier run (41..101) wait"), std::string::npos)
        << again.log();
}

// The io thread's turns, as the center's main loop runs them: tasks queued
// for the end of the turn run when the test says the turn is over.
class Turns {
public:
    std::function<void(std::function<void()>)> later() {
        return [this](std::function<void()> task) { queued_.push_back(std::move(task)); };
    }
    std::size_t queued() const { return queued_.size(); }
    void end() {
        auto tasks = std::move(queued_);
        queued_.clear();
        for (auto& task : tasks) {
            task();
        }
    }

private:
    std::vector<std::function<void()>> queued_;
};

TEST(CenterJournal, TheEventsOfOneTurnAreSyncedTogetherOnceTheTurnEnds) {
    JournalFolder folder;
    Turns turns;
    JournalRun run(folder.dir(), std::uint64_t{1} << 30, 32u << 20, turns.later());
    CenterJournal::Restored restored;
    ASSERT_EQ(run.journal().open(restored), "");
    for (std::uint64_t seq = 1; seq <= 50; ++seq) {
        run.journal().append(seq, Line(seq));
    }
    run.journal().acknowledged(0, {{"a", 0}});
    // One wake-up of the writer for the whole turn, not one per event; until
    // the turn ends the writer has none of it, also a writer still busy
    // from the open.
    EXPECT_EQ(turns.queued(), 1u);
    EXPECT_EQ(run.journal().durableSeq(), 0u);
    turns.end();
    ASSERT_TRUE(run.waitDurable(50));
    EXPECT_EQ(run.advances(), std::vector<std::uint64_t>{50});
    EXPECT_EQ(run.journal().durableSeq(), 50u);

    // The next turn queues its own wake-up.
    run.journal().append(51, Line(51));
    EXPECT_EQ(turns.queued(), 1u);
    turns.end();
    ASSERT_TRUE(run.waitDurable(51));
    EXPECT_EQ(run.advances(), (std::vector<std::uint64_t>{50, 51}));
}

TEST(CenterJournal, AStopBeforeTheTurnEndsStillWritesWhatWasAppended) {
    JournalFolder folder;
    {
        Turns turns;
        JournalRun run(folder.dir(), std::uint64_t{1} << 30, 32u << 20, turns.later());
        CenterJournal::Restored restored;
        ASSERT_EQ(run.journal().open(restored), "");
        for (std::uint64_t seq = 1; seq <= 3; ++seq) {
            run.journal().append(seq, Line(seq));
        }
        // The io thread stopped with the wake-up still queued.
        run.journal().close();
        EXPECT_EQ(run.journal().durableSeq(), 3u);
    }
    ExpectReopenedWithEvents(folder.dir(), 3);
}

TEST(CenterJournal, TurnsWithinTheSyncIntervalShareOneSyncAndAStopEndsTheWait) {
    JournalFolder folder;
    {
        Turns turns;
        JournalRun run(folder.dir(), std::uint64_t{1} << 30, 32u << 20, turns.later(), 1h);
        CenterJournal::Restored restored;
        ASSERT_EQ(run.journal().open(restored), "");
        // The first event after a quiet spell is synced at once.
        run.journal().append(1, Line(1));
        turns.end();
        ASSERT_TRUE(run.waitDurable(1));
        // The next turns come within the interval: they wait for it, all
        // in one sync, and none is reported on disk before it is.
        run.journal().append(2, Line(2));
        turns.end();
        run.journal().append(3, Line(3));
        turns.end();
        EXPECT_EQ(run.journal().durableSeq(), 1u);
        // A stop does not wait for the interval; what waited is written.
        run.journal().close();
        EXPECT_EQ(run.advances(), (std::vector<std::uint64_t>{1, 3}));
        EXPECT_EQ(run.journal().durableSeq(), 3u);
    }
    ExpectReopenedWithEvents(folder.dir(), 3);
}

TEST(CenterJournal, SegmentsEveryEventServerHasAcknowledgedAreDeleted) {
    JournalFolder folder;
    {
        JournalRun run(folder.dir(), std::uint64_t{1} << 30, 4096);
        CenterJournal::Restored restored;
        ASSERT_EQ(run.journal().open(restored), "");
        for (std::uint64_t seq = 1; seq <= 400; ++seq) {
            run.journal().append(seq, Line(seq));
            if (seq % 50 == 0) {
                ASSERT_TRUE(run.waitDurable(seq));
            }
        }
        ASSERT_TRUE(run.waitDurable(400));
        EXPECT_GT(Segments(folder.dir()).size(), 3u);
        run.journal().acknowledged(390, {{"a", 390}});
        run.journal().close();
        EXPECT_LE(Segments(folder.dir()).size(), 2u);
    }
    JournalRun again(folder.dir());
    CenterJournal::Restored restored;
    ASSERT_EQ(again.journal().open(restored), "");
    EXPECT_EQ(restored.done, 390u);
    EXPECT_EQ(restored.lastSeq, 400u);
    ASSERT_FALSE(restored.entries.empty());
    EXPECT_EQ(restored.entries.back().seq, 400u);
    EXPECT_EQ(restored.missing, 0u) << again.log();
}

// A report whose answer a crash lost comes again after the start, maybe only
// after the next crash: the events it is known by stay on disk through
// starts that read them, as many as asked for, and never count as waiting.
TEST(CenterJournal, RecentEventsStayThroughRestartsAfterTheyAreAcknowledged) {
    JournalFolder folder;
    const auto run = [&](std::uint64_t from, std::uint64_t to) {
        JournalRun r(folder.dir(), 64 * 1024, 4096, {}, {}, 150);
        CenterJournal::Restored restored;
        EXPECT_EQ(r.journal().open(restored), "");
        for (std::uint64_t seq = from; seq <= to; ++seq) {
            r.journal().append(seq, Line(seq));
            if (seq % 50 == 0) {
                EXPECT_TRUE(r.waitDurable(seq));
            }
        }
        if (to >= from) {
            EXPECT_TRUE(r.waitDurable(to));
            r.journal().acknowledged(to, {{"a", to}});
            r.journal().append(to + 1, Line(to + 1));  // the marks go with it
            EXPECT_TRUE(r.waitDurable(to + 1));
            r.journal().acknowledged(to + 1, {{"a", to + 1}});
        }
        EXPECT_FALSE(r.journal().full()) << r.journal().bytesOnDisk();
        return restored;  // no close: killed
    };
    run(1, 400);
    // Two starts in a row that add nothing: the second still reads them.
    run(1, 0);
    const CenterJournal::Restored restored = run(1, 0);
    EXPECT_EQ(restored.done, 401u);
    ASSERT_FALSE(restored.entries.empty());
    EXPECT_EQ(restored.entries.back().seq, 401u);
    EXPECT_LE(restored.entries.front().seq, 401u - 150u + 1u) << "the newest 150 at least";
    EXPECT_GT(restored.entries.front().seq, 1u) << "the older ones go";
    EXPECT_EQ(restored.missing, 0u);
}

TEST(CenterJournal, DamageCostsOnlyTheRecordsItTouchesAndATornTailIsCut) {
    JournalFolder folder;
    {
        JournalRun run(folder.dir());
        CenterJournal::Restored restored;
        ASSERT_EQ(run.journal().open(restored), "");
        for (std::uint64_t seq = 1; seq <= 50; ++seq) {
            run.journal().append(seq, Line(seq));
        }
        ASSERT_TRUE(run.waitDurable(50));
        run.journal().close();
    }
    const auto segments = Segments(folder.dir());
    ASSERT_FALSE(segments.empty());
    const fs::path segment = segments.back();
    std::string bytes;
    {
        std::ifstream in(segment, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    // A flipped byte inside the record of event 20, and half a record at the end.
    const auto at = bytes.find("fix 20\"");
    ASSERT_NE(at, std::string::npos);
    bytes[at + 2] ^= 0x55;
    const std::size_t whole = bytes.size();
    bytes += bytes.substr(whole - 40, 25);
    {
        std::ofstream out(segment, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    JournalRun again(folder.dir());
    CenterJournal::Restored restored;
    ASSERT_EQ(again.journal().open(restored), "");
    EXPECT_EQ(restored.missing, 1u);
    EXPECT_EQ(restored.entries.size(), 49u);
    EXPECT_EQ(restored.entries.back().seq, 50u);
    EXPECT_NE(again.log().find("events 20..20 are missing"), std::string::npos) << again.log();
    EXPECT_NE(again.log().find("dropped a record cut short"), std::string::npos) << again.log();
    EXPECT_EQ(fs::file_size(segment), whole);
}

// The segment being written is longer than its records, zeros ahead of them
// (a sync then writes the records alone). A killed center leaves them; the
// next open takes them for room, not for a record cut short, and cuts them
// off, as a close does.
TEST(CenterJournal, ZerosAheadOfTheRecordsAreRoomNotDamage) {
    JournalFolder folder;
    std::string killed;  // the segment as a killed center leaves it
    std::uintmax_t records = 0;
    fs::path segment;
    {
        JournalRun run(folder.dir());
        CenterJournal::Restored restored;
        ASSERT_EQ(run.journal().open(restored), "");
        for (std::uint64_t seq = 1; seq <= 20; ++seq) {
            run.journal().append(seq, Line(seq));
        }
        ASSERT_TRUE(run.waitDurable(20));
        segment = Segments(folder.dir()).back();
        std::ifstream in(segment, std::ios::binary);
        killed.assign(std::istreambuf_iterator<char>(in), {});
        run.journal().close();
        records = fs::file_size(segment);
    }
    ASSERT_GT(killed.size(), records);
    EXPECT_EQ(killed.find_first_not_of('\0', records), std::string::npos);
    {
        std::ofstream out(segment, std::ios::binary | std::ios::trunc);
        out << killed;
    }
    JournalRun again(folder.dir());
    CenterJournal::Restored restored;
    ASSERT_EQ(again.journal().open(restored), "");
    ASSERT_EQ(restored.entries.size(), 20u);
    EXPECT_EQ(restored.entries.back().line, Line(20));
    EXPECT_EQ(restored.missing, 0u);
    EXPECT_EQ(again.log().find("cut short"), std::string::npos) << again.log();
    EXPECT_EQ(again.log().find("damaged"), std::string::npos) << again.log();
    EXPECT_EQ(fs::file_size(segment), records);
}

TEST(CenterJournal, TheBoundRefusesUntilAcknowledgementsFreeRoom) {
    JournalFolder folder;
    JournalRun run(folder.dir(), 16 * 1024, 4096);
    CenterJournal::Restored restored;
    ASSERT_EQ(run.journal().open(restored), "");
    std::uint64_t seq = 0;
    while (!run.journal().full() && seq < 10000) {
        ++seq;
        run.journal().append(seq, Line(seq));
        ASSERT_TRUE(run.waitDurable(seq));
    }
    ASSERT_TRUE(run.journal().full());
    EXPECT_LT(seq, 1000u);
    EXPECT_NE(run.log().find("LIMIT: "), std::string::npos) << run.log();
    run.journal().acknowledged(seq, {{"a", seq}});
    // The marks are written and the segments behind them go.
    for (int i = 0; i < 500 && run.journal().full(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(run.journal().full());
    EXPECT_NE(run.log().find("below its limit again"), std::string::npos) << run.log();
}

TEST(CenterJournal, AnUnreadableEpochStopsTheOpenInsteadOfStartingANewNumbering) {
    JournalFolder folder;
    fs::create_directories(folder.dir());
    std::ofstream(folder.dir() / "epoch") << "not a number\n";
    JournalRun run(folder.dir());
    CenterJournal::Restored restored;
    EXPECT_NE(run.journal().open(restored).find("does not hold an epoch"), std::string::npos);
}

TEST(CenterJournal, MarksOfEventServersNoLongerUsersAreDropped) {
    CenterJournal::Restored restored;
    restored.acked = {{"es-1", 10}, {"retired", 2}, {"es-2", 12}};
    const auto dropped = DropMarksOfOthers(restored, {{"es-1", "pw"}, {"es-2", "pw"}});
    EXPECT_EQ(dropped, std::vector<std::string>{"retired"});
    EXPECT_EQ(restored.acked, (std::map<std::string, std::uint64_t>{{"es-1", 10}, {"es-2", 12}}));
}

TEST(CenterJournal, MarksDecodeOnlyFromWellFormedLines) {
    std::map<std::string, std::uint64_t> users;
    EXPECT_TRUE(DecodeMarks("a\t5\nroot\t12\n", users));
    EXPECT_EQ(users, (std::map<std::string, std::uint64_t>{{"a", 5}, {"root", 12}}));
    EXPECT_TRUE(DecodeMarks("", users));
    EXPECT_TRUE(users.empty());
    for (const char* bad :
         {"a\t5", "a5\n", "\t5\n", "a\t\n", "a\t5x\n", "a\t99999999999999999999\n"}) {
        EXPECT_FALSE(DecodeMarks(bad, users)) << bad;
    }
}

}  // namespace
}  // namespace center
