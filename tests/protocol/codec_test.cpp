#include <gtest/gtest.h>

#include "protocol/json_codec.h"

namespace vardo::protocol {
namespace {

const Message kEveryMessage[] = {
    Login{1, "root", "kiwa"},
    Login{1, "用户", "pa\"ss\\word\n"},
    Ping{},
    Logout{},
    MediaOpen{"X7", 1, true, false},
    MediaClose{"X7", 4, true, true},
    LoginOk{0},
    LoginOk{0xFFFFFFFF},
    LoginFailed{"bad credentials"},
    Pong{},
    Online{"dev-1", "O'Brien's \"van\"", "浙A·12345", "张伟", 4, "$GPRMC,1*00"},
    Online{"d", "", "", "", 1, ""},
    Synced{12},
    Gps{"dev-1", "$GNRMC,2*00", std::nullopt, std::nullopt},
    Gps{"dev-1", "", "V2", "李娜"},
    Gps{"dev-1", "x", std::nullopt, ""},
    Offline{"dev-1"},
    Alarm{"dev-1", 0},
    Alarm{"dev-1", 7},
    Event{"dev-1", 0xA3},
    MediaOk{"X7", 2, 7, VideoFormat{"mjpeg", 352, 288, 12}, AudioFormat{"pcm_mulaw", 8000}},
    MediaOk{"X7", 2, 8, std::nullopt, AudioFormat{"pcm_mulaw", 8000}},
    MediaOk{"X7", 2, 9, VideoFormat{"mjpeg", 704, 576, 25}, std::nullopt},
    MediaOk{"T1", 1, 10, VideoFormat{"h264", 0, 0, 0}, AudioFormat{"pcm_alaw", 8000}},
    MediaOk{"T1", 2, 11, VideoFormat{"h265", 1280, 720, 25},
            AudioFormat{"g726", 8000, 1, 40000, {}}},
    MediaOk{"T1", 3, 12, std::nullopt, AudioFormat{"aac", 44100, 2, 64000, {0x12, 0x10}}},
    MediaFailed{"X7", 3, "no such channel"},
    // Acknowledgements.
    Login{1, "es-2", "pw", true},
    LoginOk{7, 0x1F'FFFF'FFFF'FFFF},
    Online{"dev-1", "n", "", "", 1, "", 1},
    Gps{"dev-1", "g", std::nullopt, std::nullopt, kMaxSequence},
    Offline{"dev-1", 42},
    Alarm{"dev-1", 3, 43},
    Event{"dev-1", 0xA1, 44},
    Ack{1},
    Ack{kMaxSequence},
};

TEST(ProtocolCodec, EveryMessageSurvivesTheRoundTrip) {
    for (const Message& message : kEveryMessage) {
        const std::string line = encodeLine(message);
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.back(), '\n');
        EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line only: " << line;
        const DecodeResult decoded = decodeLine(std::string_view(line).substr(0, line.size() - 1));
        ASSERT_TRUE(decoded.ok()) << line << " -> " << decoded.error;
        EXPECT_EQ(decoded.message, message) << line;
        EXPECT_EQ(decoded.op, opName(message));
    }
}

TEST(ProtocolCodec, EncodingStartsWithTheOp) {
    EXPECT_EQ(encodeLine(Offline{"X7"}), "{\"op\":\"offline\",\"dev\":\"X7\"}\n");
    EXPECT_EQ(encodeLine(Ping{}), "{\"op\":\"ping\"}\n");
    // A peer that does not acknowledge sees no new field it must know.
    EXPECT_EQ(encodeLine(Offline{"X7", 5}), "{\"op\":\"offline\",\"dev\":\"X7\",\"seq\":5}\n");
    EXPECT_EQ(encodeLine(Ack{5}), "{\"op\":\"ack\",\"seq\":5}\n");
    EXPECT_EQ(encodeLine(LoginOk{3}), "{\"op\":\"login_ok\",\"media_key\":3}\n");
}

TEST(ProtocolCodec, WideMediaKeysTravelAsSixteenHexDigits) {
    // Above 2^53 a number would lose bits in readers that hold doubles.
    const LoginOk wide{0xFEDCBA9876543210, 7, true};
    EXPECT_EQ(encodeLine(wide),
              "{\"op\":\"login_ok\",\"media_key\":\"fedcba9876543210\",\"epoch\":7}\n");
    EXPECT_EQ(std::get<LoginOk>(decodeLine(encodeLine(wide)).message), wide);
    EXPECT_EQ(std::get<LoginOk>(
                  decodeLine(R"({"op":"login_ok","media_key":"00000000000000FF"})").message),
              (LoginOk{255, 0, true}));
    // A narrow key stays a number, which version-1 peers read.
    EXPECT_EQ(std::get<LoginOk>(decodeLine(encodeLine(LoginOk{0xFFFFFFFF})).message),
              LoginOk{0xFFFFFFFF});
    for (const char* bad : {R"({"op":"login_ok","media_key":"fedcba987654321"})",
                            R"({"op":"login_ok","media_key":"fedcba98765432100"})",
                            R"({"op":"login_ok","media_key":"fedcba987654321g"})",
                            R"({"op":"login_ok","media_key":""})",
                            R"({"op":"login_ok","media_key":"-edcba9876543210"})"}) {
        const DecodeResult decoded = decodeLine(bad);
        EXPECT_EQ(decoded.status, DecodeResult::Status::Error) << bad;
        EXPECT_NE(decoded.error.find("media_key"), std::string::npos) << decoded.error;
    }
}

TEST(ProtocolCodec, DocumentedLinesDecode) {
    const struct {
        const char* line;
        Message expected;
    } cases[] = {
        {R"({"op":"login","version":1,"user":"root","password":"kiwa"})", Login{1, "root", "kiwa"}},
        {R"({"op":"login_ok","media_key":123456789})", LoginOk{123456789}},
        {R"({"op":"login_ok"})", LoginOk{0}},
        {R"({"op":"login_failed"})", LoginFailed{""}},
        {R"({"op":"online","dev":"X7","name":"X7","channels":2})",
         Online{"X7", "X7", "", "", 2, ""}},
        {R"({"op":"online","dev":"X7","name":"X7","vehicle":null,"channels":2,"gps":null})",
         Online{"X7", "X7", "", "", 2, ""}},
        {R"({"op":"gps","dev":"X7","gps":""})", Gps{"X7", "", std::nullopt, std::nullopt}},
        {R"({"op":"media_open","dev":"X7","chn":1})", MediaOpen{"X7", 1, false, false}},
        {R"({"op":"synced"})", Synced{0}},
        // What a muxer needs beyond the codec's name.
        {R"({"op":"media_ok","dev":"T","chn":1,"stream":3,"video":{"codec":"h264"}})",
         MediaOk{"T", 1, 3, VideoFormat{"h264", 0, 0, 0}, std::nullopt}},
        {R"({"op":"media_ok","dev":"T","chn":1,"stream":3,"audio":{"codec":"aac","rate":16000,"config":"140A"}})",
         MediaOk{"T", 1, 3, std::nullopt, AudioFormat{"aac", 16000, 1, 0, {0x14, 0x0A}}}},
        {R"({"op":"media_ok","dev":"T","chn":1,"stream":3,"audio":{"codec":"g726","rate":8000,"bit_rate":32000}})",
         MediaOk{"T", 1, 3, std::nullopt, AudioFormat{"g726", 8000, 1, 32000, {}}}},
        // Unknown fields are for a later version.
        {R"({"op":"alarm","dev":"X7","alarm":3,"severity":"high","extra":[1,2,{}]})",
         Alarm{"X7", 3}},
        {R"(  {"dev":"X7","op":"offline"}  )", Offline{"X7"}},
        // Acknowledgements are agreed in the login; a peer without them
        // leaves the fields out, and `null` counts as absent.
        {R"({"op":"login","version":1,"user":"u","password":"p","acks":true})",
         Login{1, "u", "p", true}},
        {R"({"op":"login","version":1,"user":"u","password":"p","acks":null})",
         Login{1, "u", "p", false}},
        {R"({"op":"login_ok","media_key":5,"epoch":77})", LoginOk{5, 77}},
        {R"({"op":"gps","dev":"X7","gps":"","seq":9007199254740991})",
         Gps{"X7", "", std::nullopt, std::nullopt, 9007199254740991}},
        {R"({"op":"ack","seq":12,"extra":1})", Ack{12}},
    };
    for (const auto& c : cases) {
        const DecodeResult decoded = decodeLine(c.line);
        ASSERT_TRUE(decoded.ok()) << c.line << " -> " << decoded.error;
        EXPECT_EQ(decoded.message, c.expected) << c.line;
    }
}

// The time the center received a device's message: optional both ways, so
// older centers and older clients keep working; a wrong value is an error
// like any other field's.
TEST(ProtocolCodec, TheCentersReceivedTimeIsAnOptionalFieldOfDeviceMessages) {
    Online online{"X7", "X7", "", "", 2, ""};
    online.at = 1'765'300'000'123;
    Gps gps{"X7", "$GPRMC,1", std::nullopt, std::nullopt};
    gps.at = 0;
    Offline offline{"X7"};
    offline.at = kMaxReceivedAtMs;
    for (const Message& m : {Message{online}, Message{gps}, Message{offline}}) {
        const std::string line = encodeLine(m);
        EXPECT_NE(line.find("\"at\":"), std::string::npos) << line;
        const DecodeResult decoded = decodeLine(std::string_view(line).substr(0, line.size() - 1));
        ASSERT_TRUE(decoded.ok()) << line << " -> " << decoded.error;
        EXPECT_EQ(decoded.message, m) << line;
    }
    // Without it nothing is written, and a line without it decodes as before.
    EXPECT_EQ(encodeLine(Offline{"X7"}), "{\"op\":\"offline\",\"dev\":\"X7\"}\n");
    const DecodeResult old = decodeLine(R"({"op":"offline","dev":"X7","at":null})");
    ASSERT_TRUE(old.ok()) << old.error;
    EXPECT_EQ(old.message, Message{Offline{"X7"}});
    for (const char* bad : {R"({"op":"offline","dev":"X7","at":-1})",
                            R"({"op":"gps","dev":"X7","gps":"","at":"1765300000123"})",
                            R"({"op":"online","dev":"X7","name":"X7","channels":1,"at":1.5})",
                            R"({"op":"gps","dev":"X7","gps":"","at":253402300800000})"}) {
        const DecodeResult decoded = decodeLine(bad);
        EXPECT_FALSE(decoded.ok()) << bad;
        EXPECT_NE(decoded.error.find("'at'"), std::string::npos) << bad << " -> " << decoded.error;
    }
}

TEST(ProtocolCodec, UnknownOpsAreIgnoredNotErrors) {
    const DecodeResult decoded = decodeLine(R"({"op":"teleport","dev":5})");
    EXPECT_EQ(decoded.status, DecodeResult::Status::Ignored);
    EXPECT_EQ(decoded.op, "teleport");
}

TEST(ProtocolCodec, BadLinesAreErrorsThatSayWhy) {
    const struct {
        const char* line;
        const char* error;
    } cases[] = {
        {"", "not JSON"},
        {"{", "not JSON"},
        {"{\"op\":\"ping\"} trailing", "not JSON"},
        {"[1,2]", "not a JSON object"},
        {"\"op\"", "not a JSON object"},
        {"{}", "no string 'op'"},
        {"{\"op\":7}", "no string 'op'"},
        {R"({"op":"login","version":1,"user":"root"})", "login: field 'password' is missing"},
        {R"({"op":"login","version":"1","user":"root","password":"kiwa"})",
         "login: field 'version' is not an integer"},
        {R"({"op":"login","version":1.5,"user":"root","password":"kiwa"})",
         "field 'version' is not an integer"},
        {R"({"op":"login_ok","media_key":-1})", "field 'media_key' is out of range"},
        {R"({"op":"login_ok","media_key":4294967296})", "field 'media_key' is out of range"},
        {R"({"op":"online","dev":"X7","name":"X7","channels":0})",
         "field 'channels' is out of range"},
        {R"({"op":"online","dev":"X7","name":"X7","channels":5})",
         "field 'channels' is out of range"},
        {R"({"op":"online","dev":"X7","name":"X7","channels":"2"})",
         "field 'channels' is not an integer"},
        {R"({"op":"online","dev":"X7","channels":2})", "field 'name' is missing"},
        {R"({"op":"online","dev":"","name":"X7","channels":2})", "field 'dev' is empty"},
        {R"({"op":"online","dev":7,"name":"X7","channels":2})", "field 'dev' is not a string"},
        {R"({"op":"online","dev":"X7","name":["X7"],"channels":2})",
         "field 'name' is not a string"},
        {R"({"op":"gps","dev":"X7"})", "field 'gps' is missing"},
        {R"({"op":"gps","dev":"X7","gps":"","vehicle":1})", "field 'vehicle' is not a string"},
        {R"({"op":"alarm","dev":"X7","alarm":8})", "field 'alarm' is out of range"},
        {R"({"op":"alarm","dev":"X7","alarm":true})", "field 'alarm' is not an integer"},
        {R"({"op":"event","dev":"X7","kind":256})", "field 'kind' is out of range"},
        {R"({"op":"event","dev":"X7","kind":18446744073709551615})",
         "field 'kind' is out of range"},
        {R"({"op":"media_open","dev":"X7","chn":1,"video":1})", "field 'video' is not a boolean"},
        {R"({"op":"media_close","dev":"X7","chn":5})", "field 'chn' is out of range"},
        {R"({"op":"media_ok","dev":"X7","chn":1,"stream":1,"video":"mjpeg"})",
         "field 'video' is not an object"},
        {R"({"op":"media_ok","dev":"X7","chn":1,"stream":1,"video":{"codec":"mjpeg"}})",
         "field 'width' is missing"},
        {R"({"op":"media_ok","dev":"X7","chn":1,"stream":1,"audio":{"codec":"pcm_alaw","rate":0}})",
         "field 'rate' is out of range"},
        {R"({"op":"media_ok","dev":"X7","chn":1,"stream":1,"video":{"codec":"vp9"}})",
         "names no video codec of this version: 'vp9'"},
        {R"({"op":"media_ok","dev":"X7","chn":1,"stream":1,"audio":{"codec":"opus","rate":8000}})",
         "names no audio codec of this version: 'opus'"},
        {R"({"op":"media_ok","dev":"X7","chn":1,"stream":1,"video":{"codec":"h264","width":640}})",
         "fields 'width' and 'height' come together"},
        {R"({"op":"media_ok","dev":"X7","chn":1,"stream":1,"audio":{"codec":"g726","rate":8000}})",
         "field 'bit_rate' is missing"},
        {R"({"op":"media_ok","dev":"X7","chn":1,"stream":1,"audio":{"codec":"g726","rate":8000,"bit_rate":20000}})",
         "field 'bit_rate' is not 16000"},
        {R"({"op":"media_ok","dev":"X7","chn":1,"stream":1,"audio":{"codec":"aac","rate":8000,"config":"12G0"}})",
         "field 'config' is not hexadecimal"},
        {R"({"op":"media_ok","dev":"X7","chn":1,"stream":1,"audio":{"codec":"aac","rate":8000,"config":"121"}})",
         "odd number of hex digits"},
        {R"({"op":"media_ok","dev":"X7","chn":1,"stream":1,"audio":{"codec":"pcm_alaw","rate":8000,"channels":9}})",
         "field 'channels' is out of range"},
        {R"({"op":"offline","dev":"\ud800"})", "not JSON"},  // a lone surrogate
        // The acknowledgement framing: numbers from 1 to 2^53 - 1, nothing
        // else.
        {R"({"op":"ack"})", "ack: field 'seq' is missing"},
        {R"({"op":"ack","seq":0})", "field 'seq' is out of range"},
        {R"({"op":"ack","seq":-3})", "field 'seq' is out of range"},
        {R"({"op":"ack","seq":9007199254740992})", "field 'seq' is out of range"},
        {R"({"op":"ack","seq":"12"})", "field 'seq' is not an integer"},
        {R"({"op":"ack","seq":1e3})", "field 'seq' is not an integer"},
        {R"({"op":"gps","dev":"X7","gps":"","seq":0})", "field 'seq' is out of range"},
        {R"({"op":"offline","dev":"X7","seq":[1]})", "field 'seq' is not an integer"},
        {R"({"op":"login_ok","epoch":18446744073709551615})", "field 'epoch' is out of range"},
        {R"({"op":"login","version":1,"user":"u","password":"p","acks":1})",
         "field 'acks' is not a boolean"},
    };
    for (const auto& c : cases) {
        const DecodeResult decoded = decodeLine(c.line);
        EXPECT_EQ(decoded.status, DecodeResult::Status::Error) << c.line;
        EXPECT_NE(decoded.error.find(c.error), std::string::npos)
            << c.line << " gave '" << decoded.error << "'";
    }
}

TEST(ProtocolCodec, InvalidUtf8FromAPeerBecomesReplacementCharacters) {
    const std::string line =
        "{\"op\":\"online\",\"dev\":\"X7\",\"name\":\"Bus\xFF"
        "7\",\"driver\":\"\xE5\xBC\",\"channels\":1}";
    const DecodeResult decoded = decodeLine(line);
    ASSERT_TRUE(decoded.ok()) << decoded.error;
    const auto& online = std::get<Online>(decoded.message);
    EXPECT_EQ(online.name,
              "Bus\xEF\xBF\xBD"
              "7");
    EXPECT_EQ(online.driver, "\xEF\xBF\xBD");
}

TEST(ProtocolCodec, InvalidUtf8IsNotSentEither) {
    const std::string line = encodeLine(Gps{"X7", "fix\xC0\xAF", std::nullopt, std::nullopt});
    const DecodeResult decoded = decodeLine(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(decoded.ok()) << line;
    EXPECT_EQ(std::get<Gps>(decoded.message).gps, "fix\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace vardo::protocol
