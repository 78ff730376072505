// Feeds arbitrary bytes to ParseGPRMC and checks what it promises:
// no read past the text's NUL, a fix within range, and on failure every
// output either left alone or zeroed, the same whether outputs are given or
// not.
//
//   build-fuzz/bin/vardo_rmc_fuzzer -dict=fuzz/gps/rmc.dict fuzz/gps/corpus

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "gps/rmc_parser.h"

namespace {

constexpr double kUntouched = -12345.0;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly the text and its NUL, so that AddressSanitizer sees any read
    // beyond them.
    std::vector<char> text(size + 1);
    if (size > 0) {
        std::memcpy(text.data(), data, size);
    }
    text[size] = '\0';

    double out[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
    const bool ok = ParseGPRMC(text.data(), &out[0], &out[1], &out[2], &out[3]);
    check(ParseGPRMC(text.data(), nullptr, nullptr, nullptr, nullptr) == ok);

    if (ok) {
        for (double value : out) {
            check(std::isfinite(value));
        }
        check(std::fabs(out[0]) <= 90.0);
        check(std::fabs(out[1]) <= 180.0);
        return 0;
    }
    const bool leftAlone = out[0] == kUntouched && out[1] == kUntouched && out[2] == kUntouched &&
                           out[3] == kUntouched;
    const bool zeroed = out[0] == 0 && out[1] == 0 && out[2] == 0 && out[3] == 0;
    check(leftAlone || zeroed);
    return 0;
}
