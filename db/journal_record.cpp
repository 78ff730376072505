#include "db/journal_record.h"

#include <array>
#include <bit>
#include <chrono>
#include <cstring>
#include <limits>
#include <variant>
#include <vector>

namespace db::journal {
namespace {

// Castagnoli polynomial, reflected; the table is built once.
const std::array<std::uint32_t, 256>& CrcTable() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    return table;
}

enum class ValueTag : std::uint8_t { Text = 0, Real = 1, Integer = 2 };

void PutU8(std::string& out, std::uint8_t v) {
    out.push_back(static_cast<char>(v));
}

template <typename T>
void PutLe(std::string& out, T v) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<char>((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xFF));
    }
}

template <typename T>
T GetLe(const char* p) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        v |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    }
    return static_cast<T>(v);
}

void PutText(std::string& out, std::string_view text) {
    PutLe<std::uint32_t>(out, static_cast<std::uint32_t>(text.size()));
    out.append(text);
}

// Reads the payload front to back; any read past its end fails the whole.
class Cursor {
public:
    explicit Cursor(std::string_view bytes) : m_rest(bytes) {}

    template <typename T>
    bool Le(T& v) {
        if (m_rest.size() < sizeof(T)) {
            return false;
        }
        v = GetLe<T>(m_rest.data());
        m_rest.remove_prefix(sizeof(T));
        return true;
    }
    bool Text(std::string& v) {
        std::uint32_t n = 0;
        if (!Le(n) || m_rest.size() < n) {
            return false;
        }
        v.assign(m_rest.data(), n);
        m_rest.remove_prefix(n);
        return true;
    }
    bool AtEnd() const { return m_rest.empty(); }

private:
    std::string_view m_rest;
};

void AppendRecord(std::string& out, RecordType type, std::uint64_t seq, std::string_view payload) {
    const std::size_t start = out.size();
    PutLe<std::uint32_t>(out, 0);  // the checksum, filled in below
    PutLe<std::uint32_t>(out, static_cast<std::uint32_t>(payload.size()));
    PutU8(out, static_cast<std::uint8_t>(type));
    PutLe<std::uint64_t>(out, seq);
    out.append(payload);
    const std::uint32_t crc = Crc32c(out.data() + start + 4, out.size() - start - 4);
    for (std::size_t i = 0; i < 4; ++i) {
        out[start + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
    }
}

}  // namespace

std::uint32_t Crc32c(const void* data, std::size_t size, std::uint32_t crc) {
    const auto& table = CrcTable();
    const auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

void AppendStatementRecord(std::string& out, std::uint64_t seq, const SqlCommand& command) {
    std::string payload;
    payload.reserve(96 + command.params().size() * 24);
    const auto builtAt =
        std::chrono::duration_cast<std::chrono::nanoseconds>(command.builtAt().time_since_epoch())
            .count();
    PutLe<std::uint64_t>(payload, static_cast<std::uint64_t>(builtAt));
    PutLe<std::uint64_t>(payload, command.id().hi());
    PutLe<std::uint64_t>(payload, command.id().lo());
    PutText(payload, command.procedure());
    PutLe<std::uint32_t>(payload, static_cast<std::uint32_t>(command.params().size()));
    for (const SqlParam& p : command.params()) {
        PutText(payload, p.name);
        if (const auto* text = std::get_if<std::string>(&p.value)) {
            PutU8(payload, static_cast<std::uint8_t>(ValueTag::Text));
            PutText(payload, *text);
        } else if (const auto* real = std::get_if<double>(&p.value)) {
            PutU8(payload, static_cast<std::uint8_t>(ValueTag::Real));
            PutLe<std::uint64_t>(payload, std::bit_cast<std::uint64_t>(*real));
        } else {
            PutU8(payload, static_cast<std::uint8_t>(ValueTag::Integer));
            PutLe<std::uint64_t>(payload,
                                 static_cast<std::uint64_t>(std::get<std::int64_t>(p.value)));
        }
    }
    AppendRecord(out, RecordType::Statement, seq, payload);
}

void AppendDoneRecord(std::string& out, std::uint64_t doneUpTo) {
    AppendRecord(out, RecordType::Done, doneUpTo, {});
}

ReadStatus ReadRecord(std::string_view bytes, Record& out) {
    if (bytes.empty()) {
        return ReadStatus::End;
    }
    if (bytes.size() < kHeaderSize) {
        return ReadStatus::Torn;
    }
    const auto crc = GetLe<std::uint32_t>(bytes.data());
    const auto length = GetLe<std::uint32_t>(bytes.data() + 4);
    const auto type = static_cast<std::uint8_t>(bytes[8]);
    if (length > kMaxPayload || (type != static_cast<std::uint8_t>(RecordType::Statement) &&
                                 type != static_cast<std::uint8_t>(RecordType::Done))) {
        return ReadStatus::Corrupt;
    }
    if (bytes.size() - kHeaderSize < length) {
        return ReadStatus::Torn;
    }
    const std::size_t size = kHeaderSize + length;
    if (Crc32c(bytes.data() + 4, size - 4) != crc) {
        return ReadStatus::Corrupt;
    }
    out.type = static_cast<RecordType>(type);
    out.seq = GetLe<std::uint64_t>(bytes.data() + 9);
    out.payload = bytes.substr(kHeaderSize, length);
    out.size = size;
    return ReadStatus::Ok;
}

std::optional<SqlCommand> DecodeStatement(std::string_view payload) {
    Cursor in(payload);
    std::uint64_t builtAt = 0;
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    std::string procedure;
    std::uint32_t count = 0;
    if (!in.Le(builtAt) || !in.Le(hi) || !in.Le(lo) || !in.Text(procedure) || !in.Le(count)) {
        return std::nullopt;
    }
    // Each parameter takes at least 9 bytes: a count past what is left is
    // damage, and must not size a vector.
    if (count > payload.size() / 9) {
        return std::nullopt;
    }
    std::vector<SqlParam> params;
    params.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        SqlParam p;
        std::uint8_t tag = 0;
        if (!in.Text(p.name) || !in.Le(tag)) {
            return std::nullopt;
        }
        if (tag == static_cast<std::uint8_t>(ValueTag::Text)) {
            std::string text;
            if (!in.Text(text)) {
                return std::nullopt;
            }
            p.value = std::move(text);
        } else if (tag == static_cast<std::uint8_t>(ValueTag::Real)) {
            std::uint64_t bits = 0;
            if (!in.Le(bits)) {
                return std::nullopt;
            }
            p.value = std::bit_cast<double>(bits);
        } else if (tag == static_cast<std::uint8_t>(ValueTag::Integer)) {
            std::uint64_t bits = 0;
            if (!in.Le(bits)) {
                return std::nullopt;
            }
            p.value = static_cast<std::int64_t>(bits);
        } else {
            return std::nullopt;
        }
        params.push_back(std::move(p));
    }
    if (!in.AtEnd()) {
        return std::nullopt;
    }
    const Clock::time_point when{std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(static_cast<std::int64_t>(builtAt)))};
    return SqlCommand(std::move(procedure), std::move(params), when, StatementId(hi, lo));
}

}  // namespace db::journal
