#include "center/registry.h"

#include <sys/random.h>

#include <array>
#include <cerrno>

#include "text/same_secret.h"

namespace center {

std::string newAuthCode() {
    std::array<unsigned char, 16> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {};
        }
        filled += static_cast<std::size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string code;
    for (const unsigned char b : bytes) {
        code += kHex[b >> 4];
        code += kHex[b & 0xF];
    }
    return code;
}

bool sameCode(const std::string& a, const std::string& b) {
    return text::SameSecret(a, b);
}

}  // namespace center
