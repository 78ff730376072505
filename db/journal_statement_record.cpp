#include "db/journal_statement_record.h"

#include <bit>
#include <chrono>
#include <variant>
#include <vector>

#include "journal/bytes.h"

namespace db::journal {
namespace {

enum class ValueTag : std::uint8_t { Text = 0, Real = 1, Integer = 2 };

}  // namespace

void AppendStatementRecord(std::string& out, std::uint64_t seq, const SqlCommand& command) {
    // Written in place at the end of `out`, sized once: a record is appended
    // for every statement queued, on the window thread and under the
    // journal's lock, and growing it a byte at a time through a buffer of its
    // own cost more than building the statement.
    std::size_t size = 8 + 8 + 8 + SpanWriter::TextSize(command.procedure()) + 4;
    for (const SqlParam& p : command.params()) {
        size += SpanWriter::TextSize(p.name) + 1;
        const auto* text = std::get_if<std::string>(&p.value);
        size += text != nullptr ? SpanWriter::TextSize(*text) : 8;
    }
    const std::size_t start = out.size();
    SpanWriter payload(AppendRecordHeader(out, RecordType::Entry, seq, size));
    const auto builtAt =
        std::chrono::duration_cast<std::chrono::nanoseconds>(command.builtAt().time_since_epoch())
            .count();
    payload.Le<std::uint64_t>(static_cast<std::uint64_t>(builtAt));
    payload.Le<std::uint64_t>(command.id().hi());
    payload.Le<std::uint64_t>(command.id().lo());
    payload.Text(command.procedure());
    payload.Le<std::uint32_t>(static_cast<std::uint32_t>(command.params().size()));
    for (const SqlParam& p : command.params()) {
        payload.Text(p.name);
        if (const auto* text = std::get_if<std::string>(&p.value)) {
            payload.U8(static_cast<std::uint8_t>(ValueTag::Text));
            payload.Text(*text);
        } else if (const auto* real = std::get_if<double>(&p.value)) {
            payload.U8(static_cast<std::uint8_t>(ValueTag::Real));
            payload.Le<std::uint64_t>(std::bit_cast<std::uint64_t>(*real));
        } else {
            payload.U8(static_cast<std::uint8_t>(ValueTag::Integer));
            payload.Le<std::uint64_t>(static_cast<std::uint64_t>(std::get<std::int64_t>(p.value)));
        }
    }
    FinishRecord(out, start);
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
