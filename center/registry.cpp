#include "center/registry.h"

#include <array>
#include <cstdint>

#include "text/same_secret.h"
#include "text/secret_random.h"

namespace center {

std::string newAuthCode() {
    std::array<std::uint8_t, 16> bytes{};
    if (!text::FillSecretRandom(bytes)) {
        return {};
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string code;
    for (const unsigned char b : bytes) {
        code += kHex[b >> 4];
        code += kHex[b & 0xF];
    }
    return code;
}

std::string Registry::touchAll(const std::vector<Seen>& seen) {
    std::string first;
    for (const Seen& s : seen) {
        if (std::string error = touch(s.phone, s.at); !error.empty() && first.empty()) {
            first = std::move(error);
        }
    }
    return first;
}

bool sameCode(const std::string& a, const std::string& b) {
    return text::SameSecret(a, b);
}

}  // namespace center
