// Throws arbitrary bytes at the reader of the balancer's PROXY header, the
// first bytes of every terminal connection when --proxy-protocol is on.
// Besides "no crash", it checks what the center relies on: the length asked
// for grows with every incomplete answer and never passes the limit, and a
// complete header never claims more bytes than it was given.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "center/proxy_header.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    // As the center reads: what the last answer asked for, never more.
    std::size_t have = 0;
    for (;;) {
        const auto header = center::ParseProxyHeader(bytes.first(have));
        if (header.length > center::kProxyHeaderMaxBytes) {
            std::abort();
        }
        if (header.kind != center::ProxyHeader::Kind::Incomplete) {
            if (header.kind != center::ProxyHeader::Kind::Invalid && header.length > have) {
                std::abort();
            }
            return 0;
        }
        if (header.length <= have) {
            std::abort();  // would read nothing, forever
        }
        if (header.length > size) {
            return 0;  // the connection would wait for more
        }
        have = header.length;
    }
}
