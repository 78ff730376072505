// The hand-written `gps` line against the JSON library's own writing of the
// same object: byte for byte, for the text terminals send (names, sentences)
// with every character that needs an escape and every length of UTF-8.

#include "protocol/gps_line.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>

#include "protocol/json_codec.h"

namespace vardo::protocol {
namespace {

// What the codec wrote for a gps line before it had its own writer.
std::string documentLine(const Gps& m) {
    nlohmann::ordered_json j;
    j["op"] = "gps";
    j["dev"] = m.dev;
    j["gps"] = m.gps;
    if (m.vehicle) {
        j["vehicle"] = *m.vehicle;
    }
    if (m.driver) {
        j["driver"] = *m.driver;
    }
    if (m.at) {
        j["at"] = *m.at;
    }
    if (m.seq != 0) {
        j["seq"] = m.seq;
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// The center writes each line into one an earlier event left, longer or
// shorter than it: nothing of that one may show through.
void expectSameIntoAnEarlierLine(const Gps& m) {
    static std::string earlier(300, 'x');
    encodeLine(m, earlier);
    EXPECT_EQ(earlier, documentLine(m));
}

void expectSameLine(const Gps& m) {
    const auto line = gpsLine(m);
    ASSERT_TRUE(line.has_value()) << m.gps;
    EXPECT_EQ(*line, documentLine(m));
    EXPECT_EQ(encodeLine(m), documentLine(m));
    EXPECT_EQ(encodeLine(Message(m)), documentLine(m));
    expectSameIntoAnEarlierLine(m);
}

TEST(GpsLine, IsTheDocumentWritersLineForEveryFieldCombination) {
    expectSameLine(Gps{"013800000001",
                       "$GNRMC,101112.00,A,3016.1234,N,12009.5678,E,,,091226,,,A*6C", std::nullopt,
                       std::nullopt, 0, std::nullopt});
    expectSameLine(
        Gps{"013800000001", "$GNRMC,1*00", std::nullopt, std::nullopt, 42, 1'765'000'000'123});
    expectSameLine(Gps{"d", "", "浙A·12345", "张伟", 18'446'744'073'709'551'615u, 0});
    expectSameLine(Gps{"d", "x", std::nullopt, "", 1, -5});
    expectSameLine(Gps{"", "", "", std::nullopt, 0, kMaxReceivedAtMs});

    // And an event server reads back what was sent.
    const Gps sent{"013800000001", "$GNRMC,1*00", "浙A \"1\"", std::nullopt, 9, 1'765'000'000'123};
    const std::string line = *gpsLine(sent);
    const auto decoded = decodeLine(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(decoded.ok()) << decoded.error;
    EXPECT_EQ(std::get<Gps>(decoded.message), sent);
}

TEST(GpsLine, EscapesEveryCharacterAsTheDocumentWriterDoes) {
    std::string every;
    for (int c = 1; c < 0x80; ++c) {
        every += static_cast<char>(c);
    }
    every += '\0';
    every += "é€😀\xc2\x80\xef\xbf\xbf";
    expectSameLine(Gps{every, every, every, every, 7, 8});
    expectSameLine(Gps{"O'Brien's \"van\"\\", "a/b\x7f", "\t\r\n\b\f", "\x1f\x01", 0, {}});
}

// Text terminals may send, drawn at random: ASCII of every kind and
// characters of two, three and four bytes.
class TerminalText {
public:
    explicit TerminalText(unsigned seed) : random(seed) {}
    std::string operator()() {
        static const std::string pieces[] = {"\"", "\\", "\n", "\x01", "\x1f", "\x7f",
                                             "/",  "a",  "7",  " ",    ",",    "*",
                                             "é",  "·",  "浙", "😀",    "\t"};
        std::uniform_int_distribution<std::size_t> piece(0, std::size(pieces) - 1);
        std::string t;
        for (int n = std::uniform_int_distribution<int>(0, 40)(random); n > 0; --n) {
            t += pieces[piece(random)];
        }
        return t;
    }
    std::mt19937 random;
};

TEST(GpsLine, RandomTextFromTerminalsGivesTheSameBytes) {
    TerminalText text(808);
    std::mt19937& random = text.random;
    for (int round = 0; round < 2000; ++round) {
        Gps m{text(), text(), std::nullopt, std::nullopt, random(), std::nullopt};
        if (round % 2 == 0) {
            m.vehicle = text();
        }
        if (round % 3 == 0) {
            m.driver = text();
        }
        if (round % 5 != 0) {
            m.at = static_cast<std::int64_t>(random()) * 1000;
        }
        expectSameLine(m);
    }
}

// Phones and sentences are plain ASCII, checked eight bytes at a time: every
// byte value at every place of such a text (each lane of a word and the tail
// behind the last whole word) must still be escaped, or found ill-formed, as
// the document writer does.
TEST(GpsLine, EveryByteAtEveryPlaceOfAPlainTextGivesTheSameBytes) {
    const std::string plain = "$GPRMC,101112.000,A,3016.1234,N*6C";
    for (int byte = 0; byte < 0x100; ++byte) {
        for (std::size_t at = 0; at < plain.size(); ++at) {
            std::string text = plain;
            text[at] = static_cast<char>(byte);
            for (int field = 0; field < 2; ++field) {
                Gps m{"013800000001", plain, std::nullopt, std::nullopt, 5, 6};
                (field == 0 ? m.dev : m.gps) = text;
                if (byte < 0x80) {
                    expectSameLine(m);
                } else {
                    // A lone byte from 0x80 on is never well-formed UTF-8.
                    EXPECT_FALSE(gpsLine(m).has_value()) << byte << " at " << at;
                    EXPECT_EQ(encodeLine(m), documentLine(m));
                    expectSameIntoAnEarlierLine(m);
                }
            }
        }
    }
}

// What the codec wrote for an online line before it had its own writer.
std::string documentLine(const Online& m) {
    nlohmann::ordered_json j;
    j["op"] = "online";
    j["dev"] = m.dev;
    j["name"] = m.name;
    j["vehicle"] = m.vehicle;
    j["driver"] = m.driver;
    j["channels"] = m.channels;
    j["gps"] = m.gps;
    if (m.at) {
        j["at"] = *m.at;
    }
    if (m.seq != 0) {
        j["seq"] = m.seq;
    }
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

TEST(OnlineLine, IsTheDocumentWritersLineForAnyTextAndNumbers) {
    EXPECT_EQ(
        *onlineLine(Online{"013800000001", "013800000001", "浙A·12345", "张伟", 4, "", 0, {}}),
        documentLine(Online{"013800000001", "013800000001", "浙A·12345", "张伟", 4, "", 0, {}}));
    const Online edges{"",
                       "\"\\\n\x01\x7f",
                       "",
                       "é",
                       -2147483647 - 1,
                       "$GPRMC,1*00",
                       18'446'744'073'709'551'615u,
                       kMaxReceivedAtMs};
    EXPECT_EQ(*onlineLine(edges), documentLine(edges));
    EXPECT_EQ(encodeLine(Message(edges)), documentLine(edges));

    TerminalText text(1078);
    std::mt19937& random = text.random;
    for (int round = 0; round < 2000; ++round) {
        Online m{text(),
                 text(),
                 text(),
                 text(),
                 static_cast<int>(random()) - 1000,
                 text(),
                 round % 3 == 0 ? 0 : random(),
                 std::nullopt};
        if (round % 5 != 0) {
            m.at = static_cast<std::int64_t>(random()) * 1000;
        }
        ASSERT_EQ(encodeLine(Message(m)), documentLine(m)) << round;
    }
    // Text that is not UTF-8 is the document writer's to repair.
    const Online broken{"d", "\xff", "", "", 1, "", 3, {}};
    EXPECT_FALSE(onlineLine(broken).has_value());
    EXPECT_EQ(encodeLine(Message(broken)), documentLine(broken));
}

TEST(GpsLine, TextThatIsNotUtf8IsLeftToTheDocumentWriter) {
    const std::string broken[] = {"\xff", "ab\xc3", "\xed\xa0\x80", "\xc0\xaf", "\x80x"};
    for (const auto& bad : broken) {
        for (int field = 0; field < 4; ++field) {
            Gps m{"dev", "$GPRMC", "v", "d", 3, 4};
            (field == 0 ? m.dev : field == 1 ? m.gps : field == 2 ? *m.vehicle : *m.driver) = bad;
            EXPECT_FALSE(gpsLine(m).has_value());
            // Still sent, with the ill-formed bytes replaced.
            EXPECT_EQ(encodeLine(m), documentLine(m));
            EXPECT_EQ(encodeLine(Message(m)), documentLine(m));
        }
    }
}

}  // namespace
}  // namespace vardo::protocol
