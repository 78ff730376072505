// What the hub keeps for event servers that acknowledge: events are numbered,
// kept until every acknowledging event server has acknowledged them, sent
// again after a reconnect, and bounded; a peer without acknowledgements sees
// what it always saw.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "center/center_journal.h"
#include "centerlink/event_server_hub.h"
#include "protocol/json_codec.h"
#include "protocol/line_reader.h"
#include "testsupport/io_thread/io_thread.h"

namespace centerlink {
namespace {

namespace protocol = vardo::protocol;
using asio::ip::tcp;

// An event server's side of one connection, blocking, on the test's thread.
class Peer {
public:
    // `receiveBuffer`, when given, bounds what the kernel takes in for this
    // peer before it reads.
    Peer(std::uint16_t port, const std::string& user, bool acks, int receiveBuffer = 0)
        : socket_(io_) {
        socket_.open(tcp::v4());
        if (receiveBuffer > 0) {
            socket_.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
        }
        socket_.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
        send(protocol::Login{1, user, "pw", acks});
        const auto ok = std::get<protocol::LoginOk>(next());
        epoch = ok.epoch;
    }
    void send(const protocol::Message& message) {
        asio::write(socket_, asio::buffer(protocol::encodeLine(message)));
    }
    protocol::Message next() {
        std::string_view line;
        while (reader_.next(line) != protocol::LineReader::Status::Line) {
            std::array<char, 4096> buffer{};
            const std::size_t n = socket_.read_some(asio::buffer(buffer));
            reader_.append(std::string_view(buffer.data(), n));
        }
        auto decoded = protocol::decodeLine(line);
        EXPECT_TRUE(decoded.ok()) << decoded.error;
        return decoded.message;
    }
    // The messages up to and including `synced`.
    std::vector<protocol::Message> list() {
        std::vector<protocol::Message> got;
        do {
            got.push_back(next());
        } while (!std::holds_alternative<protocol::Synced>(got.back()));
        return got;
    }
    // Everything that arrives before the answer to a ping.
    std::vector<protocol::Message> untilPong() {
        send(protocol::Ping{});
        std::vector<protocol::Message> got;
        for (auto m = next(); !std::holds_alternative<protocol::Pong>(m); m = next()) {
            got.push_back(m);
        }
        return got;
    }

    std::uint64_t epoch = 0;

private:
    asio::io_context io_;
    tcp::socket socket_;
    protocol::LineReader reader_;
};

std::vector<std::uint64_t> numbers(const std::vector<protocol::Message>& messages) {
    std::vector<std::uint64_t> seqs;
    for (const auto& m : messages) {
        seqs.push_back(protocol::sequenceOf(m));
    }
    return seqs;
}

struct Fixture {
    // With `journal`, the hub keeps its events in a center journal there
    // (what it kept from an earlier run included).
    explicit Fixture(std::size_t bound = std::size_t{256} << 20,
                     const std::filesystem::path& journal = {}) {
        HubConfig config;
        config.listen = "127.0.0.1";
        config.tcpPort = 0;
        config.udpPort = 0;
        config.users = {{"es-1", "pw"}, {"es-2", "pw"}, {"old", "pw"}};
        config.log = [this](const std::string& line) { logLines.push_back(line); };
        config.maxUnacknowledgedBytes = bound;
        hub = std::make_unique<EventServerHub>(io.context(), config);
        if (!journal.empty()) {
            this->journal = std::make_unique<center::CenterJournal>(center::CenterJournal::Options{
                journal, std::uint64_t{1} << 30, 32u << 20, config.log,
                [this](std::uint64_t seq) {
                    asio::post(io.context(), [this, seq] { hub->durable(seq); });
                },
                // As the center runs it: the writer is woken once per turn.
                [this](std::function<void()> task) { asio::post(io.context(), std::move(task)); }});
            center::CenterJournal::Restored restored;
            EXPECT_EQ(this->journal->open(restored), "");
            std::vector<EventServerHub::Kept> kept;
            for (auto& entry : restored.entries) {
                if (entry.seq > restored.done) {
                    kept.push_back({entry.seq, std::move(entry.line)});
                }
            }
            hub->restore(restored.epoch, restored.lastSeq, restored.acked, std::move(kept));
            hub->setEventLog(this->journal.get());
        }
        EXPECT_EQ(hub->open(), "");
        port = hub->tcpPort();
        io.start();
    }
    ~Fixture() {
        io.call([this] {
            hub->close();
            return 0;
        });
        if (journal) {
            journal->close();
        }
        io.stop();
    }
    void gps(const std::string& dev, const std::string& text) {
        EXPECT_EQ(io.call([&] { return hub->gps(dev, text); }), "");
    }
    // Until the journal has synced every event (and the hub sent them).
    void waitSynced() {
        for (int i = 0; i < 1000 && io.call([&] { return hub->unsynced(); }) > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    testsim::IoThread io;
    std::unique_ptr<center::CenterJournal> journal;
    std::unique_ptr<EventServerHub> hub;
    std::uint16_t port = 0;
    std::vector<std::string> logLines;  // the io thread's; read through io.call
};

TEST(HubAcks, UnacknowledgedEventsComeAgainAfterTheListAndAcknowledgedOnesDoNot) {
    Fixture f;
    EXPECT_EQ(f.io.call([&] { return f.hub->online({"X7", "X7", "", "", 1, "$A"}); }), "");
    std::uint64_t onlineSeq = 0;
    {
        Peer es(f.port, "es-1", true);
        EXPECT_NE(es.epoch, 0u);
        const auto list = es.list();
        ASSERT_EQ(list.size(), 2u);
        onlineSeq = protocol::sequenceOf(list[0]);
        EXPECT_NE(onlineSeq, 0u);
        f.gps("X7", "$B");
        f.gps("X7", "$C");
        const auto live = es.untilPong();
        ASSERT_EQ(live.size(), 2u);
        EXPECT_EQ(numbers(live), (std::vector<std::uint64_t>{onlineSeq + 1, onlineSeq + 2}));
        es.send(protocol::Ack{onlineSeq + 1});  // $C is not kept yet
        es.untilPong();
    }  // the connection is lost
    f.gps("X7", "$D");
    {
        Peer es(f.port, "es-1", true);
        const auto list = es.list();
        // The list names the event its data came from...
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(std::get<protocol::Online>(list[0]).gps, "$D");
        EXPECT_EQ(protocol::sequenceOf(list[0]), onlineSeq + 3);
        // ... and what was not acknowledged follows, in order.
        const auto again = es.untilPong();
        ASSERT_EQ(again.size(), 2u);
        EXPECT_EQ(std::get<protocol::Gps>(again[0]).gps, "$C");
        EXPECT_EQ(std::get<protocol::Gps>(again[1]).gps, "$D");
        es.send(protocol::Ack{onlineSeq + 3});
        es.untilPong();
    }
    Peer es(f.port, "es-1", true);
    es.list();
    EXPECT_TRUE(es.untilPong().empty());
    EXPECT_EQ(f.io.call([&] { return f.hub->unacknowledged(); }), 0u);
}

TEST(HubAcks, EventsWaitForEveryAcknowledgingServerAndAPeerWithoutAcksGetsNoResend) {
    Fixture f;
    EXPECT_EQ(f.io.call([&] { return f.hub->online({"X7", "X7", "", "", 1, ""}); }), "");
    Peer one(f.port, "es-1", true);
    Peer two(f.port, "es-2", true);
    one.list();
    two.list();
    f.gps("X7", "$1");
    const auto seq = protocol::sequenceOf(one.untilPong().at(0));
    two.untilPong();
    one.send(protocol::Ack{seq});
    one.untilPong();
    // es-2 has not acknowledged: the event stays.
    EXPECT_EQ(f.io.call([&] { return f.hub->unacknowledged(); }), 1u);
    // A number never given out acknowledges nothing.
    two.send(protocol::Ack{seq + 1000});
    two.untilPong();
    EXPECT_EQ(f.io.call([&] { return f.hub->unacknowledged(); }), 1u);
    two.send(protocol::Ack{seq});
    two.untilPong();
    EXPECT_EQ(f.io.call([&] { return f.hub->unacknowledged(); }), 0u);

    // A version-1 peer: no epoch, no resend, its `ack` changes nothing.
    {
        Peer old(f.port, "old", false);
        EXPECT_EQ(old.epoch, 0u);
        old.list();
        f.gps("X7", "$2");
        old.untilPong();
    }
    Peer old(f.port, "old", false);
    old.list();
    EXPECT_TRUE(old.untilPong().empty());
}

// The hub writes new events into lines every acknowledging server has: a
// line another client has not been sent yet must stay as it was.
TEST(HubAcks, ALineAClientStillHasToSendIsNotWrittenOverWhenTheOthersHaveIt) {
    Fixture f;
    EXPECT_EQ(f.io.call([&] { return f.hub->online({"X7", "X7", "", "", 1, ""}); }), "");
    Peer acking(f.port, "es-1", true);
    Peer stalled(f.port, "old", false, 4096);  // reads nothing until the end
    acking.list();
    const auto text = [](int i) {
        return "$GPRMC," + std::to_string(i) + "," + std::string(200, char('a' + i % 26));
    };
    const auto send = [&](int from, int to) {
        EXPECT_EQ(f.io.call([&] {
            std::string errors;
            for (int i = from; i < to; ++i) {
                errors += f.hub->gps("X7", text(i));
            }
            return errors;
        }),
                  "");
    };
    const auto ackAll = [&](int count) {
        const auto got = acking.untilPong();
        ASSERT_EQ(got.size(), static_cast<std::size_t>(count));
        acking.send(protocol::Ack{protocol::sequenceOf(got.back())});
        acking.untilPong();
        EXPECT_EQ(f.io.call([&] { return f.hub->unacknowledged(); }), 0u);
    };
    // Some 12 MB of lines as long as a report's: more than the kernel takes
    // for the stalled client, so that what follows waits in its queue.
    constexpr int kFiller = 40000;
    // As many as the hub keeps for use again.
    constexpr int kRound = 2048;
    send(0, kFiller);
    ackAll(kFiller);
    // These lines are the acknowledging server's and the stalled queue's...
    send(kFiller, kFiller + kRound);
    ackAll(kRound);
    // ... so these must not be written into them.
    send(kFiller + kRound, kFiller + 2 * kRound);
    stalled.list();
    for (int i = 0; i < kFiller + 2 * kRound; ++i) {
        const auto got = stalled.next();
        ASSERT_TRUE(std::holds_alternative<protocol::Gps>(got)) << i;
        ASSERT_EQ(std::get<protocol::Gps>(got).gps, text(i)) << i;
    }
}

TEST(HubAcks, TheBoundDropsTheOldestLoudly) {
    Fixture f(4096);
    EXPECT_EQ(f.io.call([&] { return f.hub->online({"X7", "X7", "", "", 1, ""}); }), "");
    { Peer es(f.port, "es-1", true); }  // logs in once, then is away
    for (int i = 0; i < 200; ++i) {
        f.gps("X7", "$GPRMC," + std::to_string(i));
    }
    const auto kept = f.io.call([&] { return f.hub->unacknowledged(); });
    EXPECT_LT(kept, 200u);
    EXPECT_EQ(f.io.call([&] { return f.hub->droppedUnacknowledged(); }), 200u - kept);
    Peer es(f.port, "es-1", true);
    es.list();
    // What is left still comes, the newest last.
    const auto again = es.untilPong();
    ASSERT_EQ(again.size(), kept);
    EXPECT_EQ(std::get<protocol::Gps>(again.back()).gps, "$GPRMC,199");
    const std::vector<std::string> lines = f.io.call([&] { return f.logLines; });
    const auto says = [&](const char* what) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.find(what) != std::string::npos; });
    };
    EXPECT_TRUE(says("LOSS: event servers have not acknowledged"));
    EXPECT_TRUE(says("misses events"));
}

class JournalFolder {
public:
    JournalFolder() {
        char pattern[] = "/tmp/vardo-hub-journal-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~JournalFolder() { std::filesystem::remove_all(path_); }
    std::filesystem::path dir() const { return path_ / "journal"; }

private:
    std::filesystem::path path_;
};

TEST(HubAcks, WithAJournalARestartGoesOnWithTheSameNumbersAndSendsWhatWasNotAcknowledged) {
    JournalFolder folder;
    std::uint64_t epoch = 0;
    std::vector<std::uint64_t> sent;
    {
        Fixture f(std::size_t{256} << 20, folder.dir());
        EXPECT_EQ(f.io.call([&] { return f.hub->online({"X7", "X7", "", "", 1, "$A"}); }), "");
        f.waitSynced();
        Peer es(f.port, "es-1", true);
        epoch = es.epoch;
        es.list();
        // The first to log in gets what was kept before: the online again.
        EXPECT_EQ(es.untilPong().size(), 1u);
        for (int i = 0; i < 5; ++i) {
            f.gps("X7", "$GPRMC," + std::to_string(i));
        }
        f.waitSynced();
        // Sent only once the journal has them.
        sent = numbers(es.untilPong());
        ASSERT_EQ(sent.size(), 5u);
        es.send(protocol::Ack{sent[1]});
        es.untilPong();
        // The marks reach the disk with the writer's next round.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    Fixture f(std::size_t{256} << 20, folder.dir());
    EXPECT_EQ(f.io.call([&] { return f.hub->epoch(); }), epoch);
    Peer es(f.port, "es-1", true);
    EXPECT_EQ(es.epoch, epoch);
    EXPECT_EQ(es.list().size(), 1u);  // no device is online in the new run yet
    const auto again = es.untilPong();
    EXPECT_EQ(numbers(again), (std::vector<std::uint64_t>{sent[2], sent[3], sent[4]}));
    // New events go on from the last number.
    EXPECT_EQ(f.io.call([&] { return f.hub->online({"X7", "X7", "", "", 1, "$A"}); }), "");
    f.waitSynced();
    const auto fresh = es.untilPong();
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(protocol::sequenceOf(fresh[0]), sent[4] + 1);
    // Another event server, new here, owes nothing from before.
    Peer other(f.port, "es-2", true);
    other.list();
    EXPECT_TRUE(other.untilPong().empty());
}

TEST(HubAcks, WithAJournalTheFirstEventServerGetsWhatWasKeptWhileNoneHadLoggedIn) {
    JournalFolder folder;
    Fixture f(std::size_t{256} << 20, folder.dir());
    EXPECT_EQ(f.io.call([&] { return f.hub->online({"X7", "X7", "", "", 1, "$A"}); }), "");
    f.gps("X7", "$GPRMC,1");
    f.gps("X7", "$GPRMC,2");
    f.waitSynced();  // before anyone logs in
    Peer es(f.port, "es-1", true);
    es.list();
    const auto kept = es.untilPong();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_TRUE(std::holds_alternative<protocol::Online>(kept[0]));
    EXPECT_EQ(std::get<protocol::Gps>(kept[2]).gps, "$GPRMC,2");
}

TEST(HubAcks, WithAJournalTheListTakesEachFixAndKeepsWhatItDidNotName) {
    JournalFolder folder;
    Fixture f(std::size_t{256} << 20, folder.dir());
    EXPECT_EQ(f.io.call([&] { return f.hub->online({"X7", "X7", "V-1", "D-1", 1, "$A"}); }), "");
    f.waitSynced();
    // A fix naming a vehicle, then one naming a driver: each changes only
    // what it names, once the journal has synced it.
    EXPECT_EQ(f.io.call([&] {
        std::string error = f.hub->gps("X7", "$B", std::string("V-2"), std::nullopt);
        return error + f.hub->gps("X7", "$C", std::nullopt, std::string("D-3"));
    }),
              "");
    f.waitSynced();
    Peer es(f.port, "es-1", false);
    const auto list = es.list();
    ASSERT_EQ(list.size(), 2u);
    const auto& online = std::get<protocol::Online>(list[0]);
    EXPECT_EQ(online.gps, "$C");
    EXPECT_EQ(online.vehicle, "V-2");  // from $B; $C did not name one
    EXPECT_EQ(online.driver, "D-3");
    EXPECT_EQ(online.name, "X7");
    const auto kept = es.untilPong();
    EXPECT_TRUE(kept.empty());
}

TEST(HubAcks, WithAJournalComingAndGoingBeforeASyncLeavesTheListAsTheLastEventsSay) {
    JournalFolder folder;
    Fixture f(std::size_t{256} << 20, folder.dir());
    // All of it in one turn of the io thread: nothing is synced yet, so the
    // changes to the list all wait, and are applied in order after the sync.
    EXPECT_EQ(f.io.call([&] {
        std::string errors;
        for (int round = 0; round < 3; ++round) {
            errors += f.hub->online({"X7", "X7", "V-1", "D-1", 1, "$A"});
            errors += f.hub->gps("X7", "$" + std::to_string(round), std::nullopt, std::nullopt);
            if (round < 2) {
                errors += f.hub->offline("X7");
            }
        }
        errors += f.hub->online({"Y8", "Y8", "V-9", "D-9", 2, "$Y"});
        errors += f.hub->offline("Y8");
        return errors;
    }),
              "");
    EXPECT_EQ(f.io.call([&] { return f.hub->gps("Y8", "$late"); }),
              "gps: device 'Y8' is not online");
    EXPECT_EQ(f.io.call([&] { return f.hub->offline("Y8"); }),
              "offline: device 'Y8' is not online");
    f.waitSynced();
    EXPECT_TRUE(f.io.call([&] { return f.hub->isOnline("X7"); }));
    EXPECT_FALSE(f.io.call([&] { return f.hub->isOnline("Y8"); }));
    Peer es(f.port, "es-1", false);
    const auto list = es.list();
    ASSERT_EQ(list.size(), 2u);
    const auto& online = std::get<protocol::Online>(list[0]);
    EXPECT_EQ(online.dev, "X7");
    EXPECT_EQ(online.gps, "$2");
    // Y8 comes online again, and its fix reaches the list.
    EXPECT_EQ(f.io.call([&] {
        std::string errors = f.hub->online({"Y8", "Y8", "V-9", "D-9", 2, "$Y"});
        return errors + f.hub->gps("Y8", "$Z");
    }),
              "");
    f.waitSynced();
    Peer second(f.port, "es-2", false);
    const auto again = second.list();
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(std::get<protocol::Online>(again[1]).dev, "Y8");
    EXPECT_EQ(std::get<protocol::Online>(again[1]).gps, "$Z");
}

}  // namespace
}  // namespace centerlink
