#include "protocol/gps_line_reader.h"

#include <cstdint>
#include <string>

#include "text/utf8.h"

namespace vardo::protocol {
namespace {

// Walks the line once; every member answers false for "not the plain shape".
class PlainReader {
public:
    explicit PlainReader(std::string_view line)
        : p_(line.data()), end_(line.data() + line.size()) {}

    bool take(char c) {
        if (p_ == end_ || *p_ != c) {
            return false;
        }
        ++p_;
        return true;
    }
    bool atEnd() const { return p_ == end_; }

    // A key: its raw bytes, which hold no escape.
    bool key(std::string_view& out) {
        if (!take('"')) {
            return false;
        }
        const char* const start = p_;
        while (p_ != end_ && *p_ != '"') {
            if (*p_ == '\\') {
                return false;
            }
            ++p_;
        }
        if (p_ == end_) {
            return false;
        }
        out = std::string_view(start, static_cast<std::size_t>(p_ - start));
        ++p_;
        return true;
    }

    // A string value with its short escapes resolved. A control character
    // is not allowed raw in JSON; \u escapes are rare enough to be left to
    // the document decoder. Multi-byte characters are checked as the
    // document decoder checks them: the text must be well-formed UTF-8.
    bool text(std::string& out) {
        if (!take('"')) {
            return false;
        }
        const char* const start = p_;
        const char* run = p_;
        bool wide = false;
        out.clear();
        for (;;) {
            if (p_ == end_) {
                return false;
            }
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                break;
            }
            if (c < 0x20) {
                return false;
            }
            if (c >= 0x80) {
                wide = true;
                ++p_;
                continue;
            }
            if (c != '\\') {
                ++p_;
                continue;
            }
            out.append(run, p_);
            if (++p_ == end_) {
                return false;
            }
            switch (*p_) {
                case '"':
                case '\\':
                case '/':
                    out += *p_;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                default:
                    return false;
            }
            run = ++p_;
        }
        // Escapes are ASCII: the raw bytes are well-formed exactly when the
        // text is.
        if (wide &&
            !text::IsValidUtf8(std::string_view(start, static_cast<std::size_t>(p_ - start)))) {
            return false;
        }
        out.append(run, p_);
        ++p_;
        return true;
    }

    // An integer of at most 16 digits without sign, fraction or exponent
    // (JSON allows no leading zero); larger ones are out of every range here.
    bool number(std::uint64_t& out) {
        const char* const start = p_;
        out = 0;
        while (p_ != end_ && *p_ >= '0' && *p_ <= '9') {
            out = out * 10 + static_cast<std::uint64_t>(*p_ - '0');
            ++p_;
        }
        const auto digits = p_ - start;
        if (digits == 0 || digits > 16 || (digits > 1 && *start == '0')) {
            return false;
        }
        // "1.5", "1e3": a number, but not an integer of this shape.
        return p_ == end_ || (*p_ != '.' && *p_ != 'e' && *p_ != 'E');
    }

private:
    const char* p_;
    const char* end_;
};

}  // namespace

std::optional<Gps> readPlainGpsLine(std::string_view line) {
    PlainReader in(line);
    if (!in.take('{')) {
        return std::nullopt;
    }
    enum : unsigned {
        kOp = 1,
        kDev = 2,
        kGps = 4,
        kVehicle = 8,
        kDriver = 16,
        kAt = 32,
        kSeq = 64
    };
    unsigned seen = 0;
    Gps gps;
    std::string op;
    do {
        std::string_view key;
        if (!in.key(key) || !in.take(':')) {
            return std::nullopt;
        }
        unsigned field = 0;
        bool read = false;
        std::uint64_t number = 0;
        if (key == "op") {
            field = kOp;
            read = in.text(op);
        } else if (key == "dev") {
            field = kDev;
            read = in.text(gps.dev);
        } else if (key == "gps") {
            field = kGps;
            read = in.text(gps.gps);
        } else if (key == "vehicle") {
            field = kVehicle;
            read = in.text(gps.vehicle.emplace());
        } else if (key == "driver") {
            field = kDriver;
            read = in.text(gps.driver.emplace());
        } else if (key == "at") {
            field = kAt;
            read = in.number(number) && number <= static_cast<std::uint64_t>(kMaxReceivedAtMs);
            gps.at = static_cast<std::int64_t>(number);
        } else if (key == "seq") {
            field = kSeq;
            read = in.number(number) && number >= 1 && number <= kMaxSequence;
            gps.seq = number;
        }
        // An unknown or repeated key, or a value of another shape.
        if (!read || (seen & field) != 0) {
            return std::nullopt;
        }
        seen |= field;
    } while (in.take(','));
    if (!in.take('}') || !in.atEnd()) {
        return std::nullopt;
    }
    if ((seen & (kOp | kDev | kGps)) != (kOp | kDev | kGps) || op != "gps" || gps.dev.empty()) {
        return std::nullopt;
    }
    return gps;
}

}  // namespace vardo::protocol
