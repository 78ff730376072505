// Throws arbitrary bytes at the terminals' signalling codec: the stream
// splitter, the frame decoder, sub-package reassembly and every body parser.
// Besides "no crash", it checks that whatever decodes encodes back to the
// same message.
//
// The first byte picks the target; the rest is the input.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "jt808/driver_identity.h"
#include "jt808/frame.h"
#include "jt808/frame_splitter.h"
#include "jt808/gbk.h"
#include "jt808/general_response.h"
#include "jt808/location.h"
#include "jt808/registration.h"
#include "jt808/subpackage_assembler.h"

namespace {

using namespace jt808;

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

void decodeOne(std::span<const std::uint8_t> frame, SubpackageAssembler& assembler) {
    const DecodedFrame d = decodeFrame(frame);
    check(d.ok() == d.error.empty());
    check(d.ok() == (d.code == FrameError::None));
    if (!d.ok()) {
        return;
    }
    const Message& m = *d.message;
    check(m.body.size() <= kMaxBodyBytes);
    check(m.header.phone.size() == phoneDigits(m.header.version));
    const auto again = decodeFrame(encodeFrame(m.header, m.body));
    check(again.ok() && *again.message == m);
    const auto out = assembler.add(m, SubpackageAssembler::Clock::time_point{});
    check(out.message.has_value() == (out.status == SubpackageAssembler::Status::Complete));
    check(assembler.pendingBytes() <= SubpackageLimits{}.maxBytes);
}

void splitStream(std::span<const std::uint8_t> bytes) {
    FrameSplitter splitter(512);
    SubpackageAssembler assembler;
    std::size_t pos = 0;
    std::size_t piece = 1;
    std::vector<std::uint8_t> frame;
    while (pos < bytes.size()) {
        const std::size_t n = std::min(piece, bytes.size() - pos);
        splitter.append(bytes.subspan(pos, n));
        pos += n;
        piece = piece * 3 % 1021 + 1;
        check(splitter.bufferedBytes() <= 512);
        for (;;) {
            const auto st = splitter.next(frame);
            if (st == FrameSplitter::Status::NeedMore) {
                break;
            }
            if (st == FrameSplitter::Status::Frame) {
                check(frame.size() <= 512);
                check(std::find(frame.begin(), frame.end(), kFlag) == frame.end());
                decodeOne(frame, assembler);
            }
        }
    }
}

void parseBodies(std::span<const std::uint8_t> body) {
    for (const Version v : {Version::V2013, Version::V2019}) {
        if (auto r = parseRegistration(body, v)) {
            check(parseRegistration(encodeRegistration(*r, v), v).ok());
        }
        if (auto a = parseAuthentication(body, v)) {
            check(parseAuthentication(encodeAuthentication(*a, v), v).ok());
        }
        if (auto d = parseDriverIdentity(body, v)) {
            check(parseDriverIdentity(encodeDriverIdentity(*d, v), v).ok());
        }
    }
    if (auto g = parseGeneralResponse(body)) {
        check(*parseGeneralResponse(encodeGeneralResponse(*g)) == *g);
    }
    if (auto r = parseRegistrationResponse(body)) {
        check(parseRegistrationResponse(encodeRegistrationResponse(*r)).ok());
    }
    if (auto t = parseTimeResponse(body)) {
        check(*parseTimeResponse(encodeTimeResponse(*t)) == *t);
    }
    if (auto loc = parseLocation(body)) {
        // A broken last item is left out: what is kept re-encodes to the
        // body's beginning.
        const auto again = encodeLocation(*loc);
        check(loc->brokenItem.empty() ? again == std::vector<std::uint8_t>(body.begin(), body.end())
                                      : again.size() < body.size() &&
                                            std::equal(again.begin(), again.end(), body.begin()));
        (void)utcTime(*loc);
    }
    if (auto batch = parseBatchLocation(body)) {
        const auto again = parseBatchLocation(encodeBatchLocation(*batch));
        auto kept = batch->items;
        for (Location& loc : kept) {
            loc.brokenItem.clear();  // the broken tail is not written again
        }
        check(again.ok() && again->items == kept && again->skipped.empty());
    }
}

void convertText(std::span<const std::uint8_t> bytes) {
    const std::string utf8 = gbkToUtf8(bytes);
    const std::string gbk = utf8ToGbk(utf8);
    (void)gbkToUtf8(gbk);
    (void)utf8ToGbk(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    switch (data[0] % 4) {
        case 0:
            splitStream(rest);
            break;
        case 1: {
            SubpackageAssembler assembler;
            decodeOne(rest, assembler);
            break;
        }
        case 2:
            parseBodies(rest);
            break;
        default:
            convertText(rest);
            break;
    }
    return 0;
}
