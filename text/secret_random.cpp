#include "text/secret_random.h"

#include <sys/random.h>

#include <array>
#include <cerrno>

namespace text {

bool FillSecretRandom(std::span<std::uint8_t> bytes) {
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        filled += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<std::uint64_t> SecretRandom64() {
    std::array<std::uint8_t, 8> bytes{};
    if (!FillSecretRandom(bytes)) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const std::uint8_t b : bytes) {
        value = (value << 8) | b;
    }
    return value;
}

}  // namespace text
