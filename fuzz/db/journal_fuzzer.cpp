// The journal's segment files are read back at every start: whatever bytes a
// power cut, a full disk or a stray write leaves in them must be read safely.
// Three ways in: the record reader over the bytes, the statement decoder over
// them as a payload that passed its checksum (which random bytes seldom do),
// and a whole journal opened over a segment holding them (recovery, cutting,
// reading back).
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "db/journal_statement_record.h"
#include "db/statement_journal.h"

namespace {

void DecodePayload(std::string_view payload) {
    if (auto command = db::journal::DecodeStatement(payload)) {
        std::string again;
        db::journal::AppendStatementRecord(again, 1, *command);
        db::journal::Record back;
        if (db::journal::ReadRecord(again, back) != db::journal::ReadStatus::Ok ||
            back.payload != payload) {
            __builtin_trap();
        }
        (void)command->text();
    }
}

void ReadRecords(std::string_view bytes) {
    while (true) {
        db::journal::Record record;
        if (db::journal::ReadRecord(bytes, record) != db::journal::ReadStatus::Ok) {
            return;
        }
        if (record.size == 0 || record.size > bytes.size()) {
            __builtin_trap();  // a record must take bytes it was given
        }
        if (record.type == db::journal::RecordType::Entry) {
            if (auto command = db::journal::DecodeStatement(record.payload)) {
                // What decodes encodes to the same statement again.
                std::string again;
                db::journal::AppendStatementRecord(again, record.seq, *command);
                db::journal::Record back;
                if (db::journal::ReadRecord(again, back) != db::journal::ReadStatus::Ok ||
                    back.payload != record.payload) {
                    __builtin_trap();
                }
            }
        }
        bytes.remove_prefix(record.size);
    }
}

void OpenJournalOver(std::string_view bytes) {
    static const std::filesystem::path dir = [] {
        char name[] = "/tmp/vardo-journal-fuzz-XXXXXX";
        return std::filesystem::path(mkdtemp(name) != nullptr ? name : "/tmp/vardo-journal-fuzz");
    }();
    std::error_code ec;
    std::filesystem::remove_all(dir / "j", ec);
    std::filesystem::create_directories(dir / "j", ec);
    {
        std::ofstream out(dir / "j" / "seg-00000001.jnl", std::ios::binary);
        out << db::journal::kSegmentMagic;
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    db::JournalOptions options;
    options.dir = dir / "j";
    options.syncEvery = std::chrono::milliseconds(1);
    std::string error;
    auto journal = db::CStatementJournal::Open(options, nullptr, error);
    if (!journal) {
        return;
    }
    std::vector<db::CStatementJournal::Entry> out;
    std::uint64_t from = journal->FirstWaiting();
    for (int i = 0; i < 4; ++i) {
        from = journal->Read(from, 64, out);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
        case 0:
            ReadRecords(bytes);
            break;
        case 1:
            OpenJournalOver(bytes);
            break;
        default:
            DecodePayload(bytes);
            break;
    }
    return 0;
}
