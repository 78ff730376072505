// Throws arbitrary bytes at the center protocol's decoders: line framing and
// JSON decoding, media datagrams, registrations, UTF-8 repair. Besides "no
// crash", it checks that whatever decodes encodes back to the same message,
// and that the shortcut for plain `gps` lines answers as the document
// decoder does.
//
// The first byte picks the decoder; the rest is the input.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "protocol/json_codec.h"
#include "protocol/line_reader.h"
#include "protocol/media_datagram.h"
#include "text/utf8.h"

namespace {

using namespace vardo::protocol;

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

void decodeStream(std::string_view bytes) {
    // Lines arrive in pieces of varying size, as from a socket.
    LineReader reader;
    std::size_t pos = 0;
    std::size_t piece = 1;
    while (pos < bytes.size()) {
        const std::size_t n = std::min(piece, bytes.size() - pos);
        reader.append(bytes.substr(pos, n));
        pos += n;
        piece = piece * 3 % 4093 + 1;
        std::string_view line;
        for (;;) {
            const auto status = reader.next(line);
            if (status != LineReader::Status::Line) {
                if (status == LineReader::Status::TooLong) {
                    return;
                }
                break;
            }
            check(line.size() <= kMaxLineBytes);
            const DecodeResult decoded = decodeLine(line);
            const DecodeResult document = decodeLineAsDocument(line);
            check(decoded.status == document.status && decoded.op == document.op &&
                  decoded.error == document.error && decoded.message == document.message);
            check(decoded.ok() == decoded.error.empty() ||
                  decoded.status == DecodeResult::Status::Ignored);
            if (decoded.ok()) {
                const std::string again = encodeLine(decoded.message);
                const DecodeResult twice =
                    decodeLine(std::string_view(again).substr(0, again.size() - 1));
                check(twice.ok() && twice.message == decoded.message);
            }
        }
    }
}

void decodeDatagram(std::span<const std::uint8_t> bytes) {
    const MediaDecodeResult decoded = decodeMediaDatagram(bytes);
    check(decoded.datagram.has_value() == decoded.error.empty());
    if (decoded.datagram) {
        const auto& d = *decoded.datagram;
        check(d.header.fragmentIndex < d.header.fragmentCount);
        check(d.payload.size() + kMediaHeaderBytes == bytes.size());
        const auto again = encodeMediaDatagram(d.header, d.payload);
        check(again.size() == bytes.size());
        // Bytes 6-7 are reserved and not kept.
        check(std::equal(again.begin(), again.begin() + 6, bytes.begin()) &&
              std::equal(again.begin() + 8, again.end(), bytes.begin() + 8));
    }
    if (const auto key = decodeRegister(bytes)) {
        // Both widths give back the very bytes: a key is never cut or padded.
        const auto again = encodeRegister(*key);
        check(key->wide == (bytes.size() == kWideRegisterBytes));
        check(std::equal(again.begin(), again.end(), bytes.begin(), bytes.end()));
    }
}

void repairText(std::string_view bytes) {
    const std::string valid = text::MakeValidUtf8(bytes);
    check(text::IsValidUtf8(valid));
    check(text::IsValidUtf8(bytes) == (valid == bytes));
    for (std::size_t max : {std::size_t{0}, std::size_t{1}, valid.size() / 2, valid.size()}) {
        const std::size_t n = text::Utf8PrefixLength(valid, max);
        check(n <= max || n == valid.size());
        check(text::IsValidUtf8(std::string_view(valid).substr(0, n)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());
    switch (data[0] % 3) {
        case 0:
            decodeStream(text);
            break;
        case 1:
            decodeDatagram(rest);
            break;
        default:
            repairText(text);
            break;
    }
    return 0;
}
