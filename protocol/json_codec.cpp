#include "protocol/json_codec.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <type_traits>

#include "protocol/gps_line.h"
#include "protocol/gps_line_reader.h"
#include "text/utf8.h"

namespace vardo::protocol {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

// ---- encoding --------------------------------------------------------------

ordered_json toJson(const VideoFormat& v) {
    ordered_json j{{"codec", v.codec}};
    // Unknown sizes and rates are left out rather than sent as 0.
    if (v.width > 0 && v.height > 0) {
        j["width"] = v.width;
        j["height"] = v.height;
    }
    if (v.fps > 0) {
        j["fps"] = v.fps;
    }
    return j;
}

std::string toHex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

ordered_json toJson(const AudioFormat& a) {
    ordered_json j{{"codec", a.codec}, {"rate", a.rate}};
    if (a.channels != 1) {
        j["channels"] = a.channels;
    }
    if (a.bitRate > 0) {
        j["bit_rate"] = a.bitRate;
    }
    if (!a.config.empty()) {
        j["config"] = toHex(a.config);
    }
    return j;
}

std::string hexKey(std::uint64_t key) {
    std::vector<std::uint8_t> bytes(8);
    for (int i = 7; i >= 0; --i, key >>= 8) {
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(key);
    }
    return toHex(bytes);
}

void putReceivedAt(ordered_json& j, const ReceivedAtMs& at) {
    if (at) {
        j["at"] = *at;
    }
}

ordered_json toJson(const Message& message) {
    ordered_json j;
    j["op"] = opName(message);
    std::visit(
        [&j](const auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, Login>) {
                j["version"] = m.version;
                j["user"] = m.user;
                j["password"] = m.password;
                if (m.acks) {
                    j["acks"] = true;
                }
            } else if constexpr (std::is_same_v<T, Ping> || std::is_same_v<T, Pong> ||
                                 std::is_same_v<T, Logout>) {
            } else if constexpr (std::is_same_v<T, MediaOpen> || std::is_same_v<T, MediaClose>) {
                j["dev"] = m.dev;
                j["chn"] = m.chn;
                j["video"] = m.video;
                j["audio"] = m.audio;
            } else if constexpr (std::is_same_v<T, LoginOk>) {
                if (m.wideKey) {
                    j["media_key"] = hexKey(m.mediaKey);
                } else {
                    j["media_key"] = static_cast<std::uint32_t>(m.mediaKey);
                }
                if (m.epoch != 0) {
                    j["epoch"] = m.epoch;
                }
            } else if constexpr (std::is_same_v<T, LoginFailed>) {
                j["reason"] = m.reason;
            } else if constexpr (std::is_same_v<T, Online>) {
                j["dev"] = m.dev;
                j["name"] = m.name;
                j["vehicle"] = m.vehicle;
                j["driver"] = m.driver;
                j["channels"] = m.channels;
                j["gps"] = m.gps;
                putReceivedAt(j, m.at);
            } else if constexpr (std::is_same_v<T, Synced>) {
                j["count"] = m.count;
            } else if constexpr (std::is_same_v<T, Gps>) {
                j["dev"] = m.dev;
                j["gps"] = m.gps;
                if (m.vehicle) {
                    j["vehicle"] = *m.vehicle;
                }
                if (m.driver) {
                    j["driver"] = *m.driver;
                }
                putReceivedAt(j, m.at);
            } else if constexpr (std::is_same_v<T, Offline>) {
                j["dev"] = m.dev;
                putReceivedAt(j, m.at);
            } else if constexpr (std::is_same_v<T, Alarm>) {
                j["dev"] = m.dev;
                j["alarm"] = m.alarm;
            } else if constexpr (std::is_same_v<T, Event>) {
                j["dev"] = m.dev;
                j["kind"] = m.kind;
            } else if constexpr (std::is_same_v<T, MediaOk>) {
                j["dev"] = m.dev;
                j["chn"] = m.chn;
                j["stream"] = m.stream;
                if (m.video) {
                    j["video"] = toJson(*m.video);
                }
                if (m.audio) {
                    j["audio"] = toJson(*m.audio);
                }
            } else if constexpr (std::is_same_v<T, MediaFailed>) {
                j["dev"] = m.dev;
                j["chn"] = m.chn;
                j["reason"] = m.reason;
            } else if constexpr (std::is_same_v<T, Ack>) {
                j["seq"] = m.seq;
            } else {
                static_assert(sizeof(T) == 0, "every message needs its encoding");
            }
        },
        message);
    if (const std::uint64_t seq = sequenceOf(message); seq != 0) {
        j["seq"] = seq;
    }
    return j;
}

// ---- decoding --------------------------------------------------------------

struct DecodeFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const std::string& what) {
    throw DecodeFailure(what);
}

// Reads the fields of one JSON object, checking types and ranges.
class Fields {
public:
    explicit Fields(const json& object) : object_(object) {}

    std::string text(const char* key) {
        const json* v = find(key, true);
        return asText(*v, key);
    }
    std::string optionalText(const char* key, std::string fallback = {}) {
        const json* v = find(key, false);
        return v ? asText(*v, key) : fallback;
    }
    std::optional<std::string> maybeText(const char* key) {
        const json* v = find(key, false);
        return v ? std::optional<std::string>(asText(*v, key)) : std::nullopt;
    }
    std::string deviceId(const char* key = "dev") {
        std::string id = text(key);
        if (id.empty()) {
            fail(std::string("field '") + key + "' is empty");
        }
        return id;
    }
    std::int64_t integer(const char* key, std::int64_t min, std::int64_t max) {
        return asInteger(*find(key, true), key, min, max);
    }
    std::optional<std::int64_t> maybeInteger(const char* key, std::int64_t min, std::int64_t max) {
        const json* v = find(key, false);
        return v ? std::optional<std::int64_t>(asInteger(*v, key, min, max)) : std::nullopt;
    }
    std::int64_t optionalInteger(const char* key, std::int64_t min, std::int64_t max,
                                 std::int64_t fallback) {
        const json* v = find(key, false);
        return v ? asInteger(*v, key, min, max) : fallback;
    }
    bool optionalBool(const char* key) {
        const json* v = find(key, false);
        if (!v) {
            return false;
        }
        if (!v->is_boolean()) {
            fail(std::string("field '") + key + "' is not a boolean");
        }
        return v->get<bool>();
    }
    const json* optionalObject(const char* key) {
        const json* v = find(key, false);
        if (v && !v->is_object()) {
            fail(std::string("field '") + key + "' is not an object");
        }
        return v;
    }

private:
    const json* find(const char* key, bool required) {
        const auto it = object_.find(key);
        if (it == object_.end() || it->is_null()) {
            if (required) {
                fail(std::string("field '") + key + "' is missing");
            }
            return nullptr;
        }
        return &*it;
    }
    static std::string asText(const json& v, const char* key) {
        if (!v.is_string()) {
            fail(std::string("field '") + key + "' is not a string");
        }
        return v.get<std::string>();
    }
    static std::int64_t asInteger(const json& v, const char* key, std::int64_t min,
                                  std::int64_t max) {
        std::int64_t value = 0;
        if (v.is_number_unsigned()) {
            const auto u = v.get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(max)) {
                fail(std::string("field '") + key + "' is out of range");
            }
            value = static_cast<std::int64_t>(u);
        } else if (v.is_number_integer()) {
            value = v.get<std::int64_t>();
        } else {
            fail(std::string("field '") + key + "' is not an integer");
        }
        if (value < min || value > max) {
            fail(std::string("field '") + key + "' is out of range");
        }
        return value;
    }

    const json& object_;
};

template <std::size_t N>
std::string knownCodec(Fields& f, const char* const (&known)[N], const char* what) {
    std::string codec = f.text("codec");
    for (const char* k : known) {
        if (codec == k) {
            return codec;
        }
    }
    fail("field 'codec' names no " + std::string(what) + " codec of this version: '" + codec + "'");
}

VideoFormat videoFormat(const json& object) {
    Fields f(object);
    VideoFormat v;
    v.codec = knownCodec(f, kVideoCodecs, "video");
    if (v.codec == "mjpeg") {
        v.width = static_cast<int>(f.integer("width", 1, 65535));
        v.height = static_cast<int>(f.integer("height", 1, 65535));
        v.fps = static_cast<int>(f.integer("fps", 1, 1000));
    } else {
        // The parameter sets in the stream tell the size.
        v.width = static_cast<int>(f.optionalInteger("width", 1, 65535, 0));
        v.height = static_cast<int>(f.optionalInteger("height", 1, 65535, 0));
        if ((v.width == 0) != (v.height == 0)) {
            fail("fields 'width' and 'height' come together");
        }
        v.fps = static_cast<int>(f.optionalInteger("fps", 1, 1000, 0));
    }
    return v;
}

std::vector<std::uint8_t> fromHex(const std::string& text, const char* key) {
    auto digit = [key](char c) -> std::uint8_t {
        if (c >= '0' && c <= '9') {
            return static_cast<std::uint8_t>(c - '0');
        }
        if (c >= 'a' && c <= 'f') {
            return static_cast<std::uint8_t>(c - 'a' + 10);
        }
        if (c >= 'A' && c <= 'F') {
            return static_cast<std::uint8_t>(c - 'A' + 10);
        }
        fail(std::string("field '") + key + "' is not hexadecimal");
    };
    if (text.size() % 2 != 0) {
        fail(std::string("field '") + key + "' has an odd number of hex digits");
    }
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>((digit(text[i]) << 4) | digit(text[i + 1])));
    }
    return out;
}

// An AudioSpecificConfig is a few bytes; more is no configuration.
constexpr std::size_t kMaxAudioConfigBytes = 64;

AudioFormat audioFormat(const json& object) {
    Fields f(object);
    AudioFormat a;
    a.codec = knownCodec(f, kAudioCodecs, "audio");
    a.rate = static_cast<int>(f.integer("rate", 1, 1'000'000));
    a.channels = static_cast<int>(f.optionalInteger("channels", 1, 8, 1));
    if (a.codec == "g726") {
        // The bit rate decides how many bits a sample has: without it the
        // blocks cannot be read.
        a.bitRate = static_cast<int>(f.integer("bit_rate", 16000, 40000));
        if (a.bitRate % 8000 != 0) {
            fail("field 'bit_rate' is not 16000, 24000, 32000 or 40000");
        }
    } else {
        a.bitRate = static_cast<int>(f.optionalInteger("bit_rate", 1, 100'000'000, 0));
    }
    if (a.codec == "aac") {
        a.config = fromHex(f.optionalText("config"), "config");
        if (a.config.size() > kMaxAudioConfigBytes) {
            fail("field 'config' is too long for an AAC configuration");
        }
    }
    return a;
}

constexpr std::int64_t kU32Max = 0xFFFFFFFF;

// An optional `seq` or `epoch`: 0 when absent; 0 itself is no number.
std::uint64_t sequence(Fields& f, const char* key) {
    return static_cast<std::uint64_t>(
        f.optionalInteger(key, 1, static_cast<std::int64_t>(kMaxSequence), 0));
}

// Returns false for an op this version does not know.
bool decodeFields(const std::string& op, const json& object, Message& out) {
    Fields f(object);
    if (op == "login") {
        Login m;
        m.version = static_cast<int>(f.integer("version", 0, 0x7FFFFFFF));
        m.user = f.text("user");
        m.password = f.text("password");
        m.acks = f.optionalBool("acks");
        out = std::move(m);
    } else if (op == "ping") {
        out = Ping{};
    } else if (op == "logout") {
        out = Logout{};
    } else if (op == "media_open" || op == "media_close") {
        std::string dev = f.deviceId();
        const int chn = static_cast<int>(f.integer("chn", 1, 4));
        const bool video = f.optionalBool("video");
        const bool audio = f.optionalBool("audio");
        if (op == "media_open") {
            out = MediaOpen{std::move(dev), chn, video, audio};
        } else {
            out = MediaClose{std::move(dev), chn, video, audio};
        }
    } else if (op == "login_ok") {
        LoginOk m;
        // A 64-bit key comes as text: JSON readers that hold numbers as
        // doubles would round it.
        if (const auto key = object.find("media_key"); key != object.end() && key->is_string()) {
            const auto bytes = fromHex(key->get<std::string>(), "media_key");
            if (bytes.size() != 8) {
                fail("field 'media_key' is not 16 hex digits");
            }
            for (const std::uint8_t b : bytes) {
                m.mediaKey = (m.mediaKey << 8) | b;
            }
            m.wideKey = true;
        } else {
            m.mediaKey = static_cast<std::uint32_t>(f.optionalInteger("media_key", 0, kU32Max, 0));
        }
        m.epoch = sequence(f, "epoch");
        out = m;
    } else if (op == "login_failed") {
        out = LoginFailed{f.optionalText("reason")};
    } else if (op == "pong") {
        out = Pong{};
    } else if (op == "online") {
        Online m;
        m.dev = f.deviceId();
        m.name = f.text("name");
        m.vehicle = f.optionalText("vehicle");
        m.driver = f.optionalText("driver");
        m.channels = static_cast<int>(f.integer("channels", 1, 4));
        m.gps = f.optionalText("gps");
        m.seq = sequence(f, "seq");
        m.at = f.maybeInteger("at", 0, kMaxReceivedAtMs);
        out = std::move(m);
    } else if (op == "synced") {
        out = Synced{static_cast<std::uint32_t>(f.optionalInteger("count", 0, kU32Max, 0))};
    } else if (op == "gps") {
        Gps m;
        m.dev = f.deviceId();
        m.gps = f.text("gps");
        m.vehicle = f.maybeText("vehicle");
        m.driver = f.maybeText("driver");
        m.seq = sequence(f, "seq");
        m.at = f.maybeInteger("at", 0, kMaxReceivedAtMs);
        out = std::move(m);
    } else if (op == "offline") {
        Offline m;
        m.dev = f.deviceId();
        m.seq = sequence(f, "seq");
        m.at = f.maybeInteger("at", 0, kMaxReceivedAtMs);
        out = std::move(m);
    } else if (op == "alarm") {
        std::string dev = f.deviceId();
        const int alarm = static_cast<int>(f.integer("alarm", 0, 7));
        out = Alarm{std::move(dev), alarm, sequence(f, "seq")};
    } else if (op == "event") {
        std::string dev = f.deviceId();
        const int kind = static_cast<int>(f.integer("kind", 0, 255));
        out = Event{std::move(dev), kind, sequence(f, "seq")};
    } else if (op == "media_ok") {
        MediaOk m;
        m.dev = f.deviceId();
        m.chn = static_cast<int>(f.integer("chn", 1, 4));
        m.stream = static_cast<std::uint32_t>(f.integer("stream", 0, kU32Max));
        if (const json* v = f.optionalObject("video")) {
            m.video = videoFormat(*v);
        }
        if (const json* a = f.optionalObject("audio")) {
            m.audio = audioFormat(*a);
        }
        out = std::move(m);
    } else if (op == "ack") {
        out = Ack{static_cast<std::uint64_t>(
            f.integer("seq", 1, static_cast<std::int64_t>(kMaxSequence)))};
    } else if (op == "media_failed") {
        std::string dev = f.deviceId();
        const int chn = static_cast<int>(f.integer("chn", 1, 4));
        out = MediaFailed{std::move(dev), chn, f.optionalText("reason")};
    } else {
        return false;
    }
    return true;
}

}  // namespace

const char* opName(const Message& message) {
    static constexpr const char* kNames[] = {
        "login",        "ping",  "logout",   "media_open",   "media_close", "login_ok",
        "login_failed", "pong",  "online",   "synced",       "gps",         "offline",
        "alarm",        "event", "media_ok", "media_failed", "ack"};
    static_assert(std::size(kNames) == std::variant_size_v<Message>);
    return kNames[message.index()];
}

std::uint64_t sequenceOf(const Message& message) {
    return std::visit(
        [](const auto& m) -> std::uint64_t {
            if constexpr (requires {
                              m.dev;
                              m.seq;
                          }) {
                return m.seq;
            } else {
                return 0;
            }
        },
        message);
}

std::string encodeLine(const Message& message) {
    // The line of every location report and every login is written without a
    // document.
    if (const auto* gps = std::get_if<Gps>(&message)) {
        if (auto line = gpsLine(*gps)) {
            return std::move(*line);
        }
    }
    if (const auto* online = std::get_if<Online>(&message)) {
        if (auto line = onlineLine(*online)) {
            return std::move(*line);
        }
    }
    std::string line = toJson(message).dump(-1, ' ', false, json::error_handler_t::replace);
    line += '\n';
    return line;
}

std::string encodeLine(const Gps& gps) {
    if (auto line = gpsLine(gps)) {
        return std::move(*line);
    }
    return encodeLine(Message(gps));
}

void encodeLine(const Gps& gps, std::string& line) {
    if (!gpsLine(gps, line)) {
        line = encodeLine(Message(gps));
    }
}

DecodeResult decodeLine(std::string_view line) {
    // Most lines are location reports in the center's own plain shape.
    if (auto gps = readPlainGpsLine(line)) {
        DecodeResult result;
        result.status = DecodeResult::Status::Message;
        result.op = "gps";
        result.message = std::move(*gps);
        return result;
    }
    return decodeLineAsDocument(line);
}

DecodeResult decodeLineAsDocument(std::string_view line) {
    DecodeResult result;
    std::string repaired;
    if (!text::IsValidUtf8(line)) {
        repaired = text::MakeValidUtf8(line);
        line = repaired;
    }
    json object;
    try {
        object = json::parse(line);
    } catch (const json::exception& e) {
        // The parser's message ends with what it last read, which may be
        // most of the line: the receiver's log gets where, not what.
        std::string what = e.what();
        if (const auto cut = what.find("; last read"); cut != std::string::npos) {
            what.resize(cut);
        }
        result.error = "not JSON: " + what;
        return result;
    }
    if (!object.is_object()) {
        result.error = "not a JSON object";
        return result;
    }
    const auto op = object.find("op");
    if (op == object.end() || !op->is_string()) {
        result.error = "no string 'op'";
        return result;
    }
    result.op = op->get<std::string>();
    try {
        if (decodeFields(result.op, object, result.message)) {
            result.status = DecodeResult::Status::Message;
        } else {
            result.status = DecodeResult::Status::Ignored;
        }
    } catch (const DecodeFailure& e) {
        result.error = result.op + ": " + e.what();
    } catch (const json::exception& e) {
        result.error = result.op + ": " + e.what();
    }
    return result;
}

}  // namespace vardo::protocol
