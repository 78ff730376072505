// The plain `gps` line reader against the document decoder: whatever line it
// takes, the document decoder gives the same message, and every other line
// is left to the document decoder (so decodeLine answers as it always did,
// errors and ignored lines included).

#include "protocol/gps_line_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "protocol/gps_line.h"
#include "protocol/json_codec.h"

namespace vardo::protocol {
namespace {

std::string withoutNewline(const std::string& line) {
    return line.substr(0, line.size() - 1);
}

// decodeLine (with its shortcut) gives exactly what the document decoder
// gives; true when the shortcut took the line.
bool expectSameAsDocument(std::string_view line) {
    const DecodeResult fast = decodeLine(line);
    const DecodeResult slow = decodeLineAsDocument(line);
    EXPECT_EQ(fast.status, slow.status) << line;
    EXPECT_EQ(fast.op, slow.op) << line;
    EXPECT_EQ(fast.error, slow.error) << line;
    EXPECT_TRUE(fast.message == slow.message) << line;
    const auto plain = readPlainGpsLine(line);
    if (plain) {
        EXPECT_TRUE(slow.ok()) << line;
        EXPECT_TRUE(slow.ok() && Message(*plain) == slow.message) << line;
    }
    return plain.has_value();
}

const Gps kFix{"013800000001",
               "$GNRMC,101112.00,A,3016.1234,N,12009.5678,E,0.0,0.0,091226,,,A*6C",
               "浙A·12345",
               "张伟",
               42,
               1'765'000'000'123};

TEST(PlainGpsLine, ReadsEveryLineTheCenterWrites) {
    EXPECT_EQ(readPlainGpsLine(withoutNewline(*gpsLine(kFix))), kFix);
    const Gps bare{"d", "", std::nullopt, std::nullopt, 0, std::nullopt};
    EXPECT_EQ(readPlainGpsLine(withoutNewline(*gpsLine(bare))), bare);
    Gps edges{"d", "x", "", std::nullopt, kMaxSequence, kMaxReceivedAtMs};
    EXPECT_EQ(readPlainGpsLine(withoutNewline(*gpsLine(edges))), edges);
    edges.at = 0;
    edges.seq = 1;
    EXPECT_EQ(readPlainGpsLine(withoutNewline(*gpsLine(edges))), edges);
    EXPECT_TRUE(expectSameAsDocument(R"({"op":"gps","dev":"d","gps":"g","seq":9007199254740991})"));
    EXPECT_TRUE(expectSameAsDocument(R"({"op":"gps","dev":"d","gps":"g","at":253402300799999})"));
    // Another order of the keys is still the plain shape.
    EXPECT_TRUE(expectSameAsDocument(R"({"seq":3,"gps":"g","dev":"d","op":"gps"})"));

    // Every character the writer escapes with a short form, and text of
    // every UTF-8 length.
    const Gps escaped{
        "O'Brien's \"van\"\\", "a/b\x7f\t\r\n\b\f", "é€😀\xc2\x80\xef\xbf\xbf", "·", 7, 8};
    EXPECT_EQ(readPlainGpsLine(withoutNewline(*gpsLine(escaped))), escaped);

    // Random fleets' lines: the reader takes each, and agrees.
    std::mt19937 random(1078);
    const std::string pieces[] = {"\"", "\\", "\n", "/", "a", "7", " ", ",", "*", "é", "浙", "😀"};
    for (int i = 0; i < 2000; ++i) {
        const auto text = [&] {
            std::string t;
            for (int n = static_cast<int>(random() % 12); n > 0; --n) {
                t += pieces[random() % std::size(pieces)];
            }
            return t;
        };
        Gps m{"1" + text(), text(), std::nullopt, std::nullopt, random() % 3 == 0 ? 0 : random(),
              std::nullopt};
        if (random() % 2 == 0) {
            m.vehicle = text();
        }
        if (random() % 3 == 0) {
            m.driver = text();
        }
        if (random() % 4 != 0) {
            m.at = static_cast<std::int64_t>(random()) * 1000;
        }
        const std::string line = withoutNewline(*gpsLine(m));
        ASSERT_EQ(readPlainGpsLine(line), m) << line;
        ASSERT_TRUE(expectSameAsDocument(line)) << line;
    }
}

TEST(PlainGpsLine, LeavesEveryOtherShapeToTheDocumentDecoder) {
    // Valid JSON of other shapes, and broken lines: none is taken, and the
    // answers (messages, errors, ignored ops) are the document decoder's.
    const std::vector<std::string> others = {
        // Whitespace, key order, unknown and repeated keys, null.
        R"({ "op":"gps","dev":"d","gps":"g"})",
        R"({"op":"gps","dev":"d","gps":"g"} )",
        R"({"op" :"gps","dev":"d","gps":"g"})",
        "{\"op\":\"gps\",\"dev\":\"d\",\t\"gps\":\"g\"}",
        R"({"op":"gps","dev":"d","gps":"g","extra":1})",
        R"({"op":"gps","dev":"d","gps":"g","extra":{"a":[1,2]}})",
        R"({"op":"gps","dev":"d","gps":"g","dev":"e"})",
        R"({"op":"gps","dev":"d","gps":"g","seq":1,"seq":2})",
        R"({"op":"gps","dev":"d","gps":"g","vehicle":null})",
        R"({"op":"gps","dev":"d","gps":null})",
        // \u escapes, escaped keys, bad escapes.
        R"({"op":"gps","dev":"d","gps":"\u0041\u00e9\ud83d\ude00"})",
        R"({"op":"gps","dev":"d","gps":"\ud83d"})",
        R"({"op":"gps","d\u0065v":"d","gps":"g"})",
        R"({"op":"g\u0070s","dev":"d","gps":"g"})",
        R"({"op":"gps","dev":"d","gps":"\x"})",
        R"({"op":"gps","dev":"d","gps":"\)",
        // Numbers of every other kind and range.
        R"({"op":"gps","dev":"d","gps":"g","seq":0})",
        R"({"op":"gps","dev":"d","gps":"g","seq":-1})",
        R"({"op":"gps","dev":"d","gps":"g","seq":01})",
        R"({"op":"gps","dev":"d","gps":"g","seq":1.0})",
        R"({"op":"gps","dev":"d","gps":"g","seq":1e3})",
        R"({"op":"gps","dev":"d","gps":"g","seq":1E3})",
        R"({"op":"gps","dev":"d","gps":"g","seq":9007199254740992})",
        R"({"op":"gps","dev":"d","gps":"g","seq":18446744073709551616})",
        R"({"op":"gps","dev":"d","gps":"g","seq":"1"})",
        R"({"op":"gps","dev":"d","gps":"g","at":-1})",
        R"({"op":"gps","dev":"d","gps":"g","at":253402300800000})",
        R"({"op":"gps","dev":"d","gps":"g","at":true})",
        // Missing, empty or mistyped fields, other ops.
        R"({"op":"gps","dev":"","gps":"g"})",
        R"({"op":"gps","gps":"g"})",
        R"({"op":"gps","dev":"d"})",
        R"({"dev":"d","gps":"g"})",
        R"({"op":"gps","dev":7,"gps":"g"})",
        R"({"op":"gps","dev":"d","gps":["g"]})",
        R"({"op":"offline","dev":"d","seq":3})",
        R"({"op":"gpsx","dev":"d","gps":"g"})",
        R"({"op":"GPS","dev":"d","gps":"g"})",
        R"({"op":1,"dev":"d","gps":"g"})",
        R"({"op":"pong"})",
        // Broken JSON and text that is not well-formed UTF-8.
        R"({"op":"gps","dev":"d","gps":"g"})"
        "x",
        R"({"op":"gps","dev":"d","gps":"g"}})",
        R"({"op":"gps","dev":"d","gps":"g",})",
        R"({"op":"gps","dev":"d","gps":"g")",
        R"({"op":"gps","dev":"d","gps":"g)",
        R"({"op":"gps","dev":"d","gps":)",
        R"({"op":"gps",,"dev":"d","gps":"g"})",
        R"(["op","gps"])",
        "{}",
        "{",
        "",
        "\"gps\"",
        "{\"op\":\"gps\",\"dev\":\"d\",\"gps\":\"a\tb\"}",
        "{\"op\":\"gps\",\"dev\":\"d\",\"gps\":\"a\x01\"}",
        "{\"op\":\"gps\",\"dev\":\"d\",\"gps\":\"\xff\"}",
        "{\"op\":\"gps\",\"dev\":\"d\",\"gps\":\"\xc0\xaf\"}",
        "{\"op\":\"gps\",\"dev\":\"d\",\"gps\":\"\xed\xa0\x80\"}",
        "{\"op\":\"gps\",\"dev\":\"d\",\"gps\":\"\xf4\x90\x80\x80\"}",
        "{\"op\":\"gps\",\"dev\":\"d\",\"gps\":\"\xe6\xb5\"}",
        "{\"op\":\"gps\",\"dev\":\"d\xe6\",\"gps\":\"g\"}",
        "{\"op\":\"gps\",\"dev\":\"d\",\"gps\":\"g\"}\xff",
        std::string("{\"op\":\"gps\",\"dev\":\"d\",\"gps\":\"a\0b\"}", 34),
    };
    for (const std::string& line : others) {
        EXPECT_FALSE(expectSameAsDocument(line)) << line;
    }
    // A few of them are valid gps messages all the same.
    EXPECT_TRUE(decodeLine(others[0]).ok());
    EXPECT_TRUE(decodeLine(others[10]).ok());
    EXPECT_TRUE(decodeLine(others[4]).ok());
    EXPECT_TRUE(decodeLine(others[8]).ok());
}

TEST(PlainGpsLine, AgreesWithTheDocumentDecoderOnDamagedLines) {
    // Lines the center writes with bytes deleted, doubled, replaced or put
    // in: the shortcut takes some of them (those still plain and valid) and
    // must give the document decoder's answer for every one.
    const std::string lines[] = {withoutNewline(*gpsLine(kFix)),
                                 withoutNewline(*gpsLine(Gps{"7", "a\"b\\c", std::nullopt, "\t",
                                                             9'007'199'254'740'991, 0}))};
    const std::string bytes[] = {"\"",   "\\",   ":",    ",", "{", "}", "0", "1",
                                 "9",    "-",    ".",    "e", " ", "u", "n", "\xff",
                                 "\xe6", "\x80", "\x01", "a", "/", "\t"};
    std::mt19937 random(808);
    int taken = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string line = lines[random() % std::size(lines)];
        for (int n = 1 + static_cast<int>(random() % 3); n > 0 && !line.empty(); --n) {
            const std::size_t at = random() % line.size();
            const std::string& b = bytes[random() % std::size(bytes)];
            switch (random() % 4) {
                case 0:
                    line.erase(at, 1);
                    break;
                case 1:
                    line.insert(at, b);
                    break;
                case 2:
                    line.replace(at, 1, b);
                    break;
                default:
                    line.insert(at, line.substr(at, random() % 8));
            }
        }
        taken += expectSameAsDocument(line) ? 1 : 0;
        if (testing::Test::HasFailure()) {
            break;
        }
    }
    // Damage inside a text often leaves a plain line: the shortcut was
    // held to the document decoder on those too.
    EXPECT_GT(taken, 1000);
}

}  // namespace
}  // namespace vardo::protocol
