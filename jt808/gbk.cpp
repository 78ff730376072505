#include "jt808/gbk.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>

namespace jt808 {

namespace {

// One conversion descriptor per thread and direction: iconv_t keeps state
// and must not be shared, and opening one per call is needlessly slow.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (valid()) {
            iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts as much as possible; at an input sequence it cannot take,
    // skipBad(out, rest) marks it in `out` and says how many bytes to skip.
    template <class SkipBad>
    std::string run(std::string_view in, SkipBad skipBad) {
        std::string out;
        if (!valid()) {
            for (std::size_t i = 0; i < in.size();) {
                i += skipBad(out, in.substr(i));
            }
            return out;
        }
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data());
        std::size_t srcLeft = in.size();
        char buffer[256];
        while (srcLeft > 0) {
            char* dst = buffer;
            std::size_t dstLeft = sizeof buffer;
            const std::size_t r = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            out.append(buffer, static_cast<std::size_t>(dst - buffer));
            if (r != static_cast<std::size_t>(-1) || errno == E2BIG) {
                continue;
            }
            // EILSEQ (no character here) or EINVAL (a character cut off at
            // the end): mark it and go on after it.
            const std::size_t skip =
                std::min(srcLeft, skipBad(out, std::string_view(src, srcLeft)));
            src += skip;
            srcLeft -= skip;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        char* dst = buffer;
        std::size_t dstLeft = sizeof buffer;
        iconv(cd_, nullptr, nullptr, &dst, &dstLeft);
        out.append(buffer, static_cast<std::size_t>(dst - buffer));
        return out;
    }

private:
    iconv_t cd_;
};

// Bytes of the UTF-8 sequence `text` starts with, by its lead byte, when
// the continuation bytes are there; 1 otherwise.
std::size_t sequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t n = lead >= 0xF0 && lead < 0xF5   ? 4
                          : lead >= 0xE0 && lead < 0xF0 ? 3
                          : lead >= 0xC2 && lead < 0xE0 ? 2
                                                        : 1;
    if (n > text.size()) {
        return 1;
    }
    for (std::size_t i = 1; i < n; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            return 1;
        }
    }
    return n;
}

}  // namespace

std::string gbkToUtf8(std::string_view gbk) {
    thread_local Converter converter("UTF-8", "GB18030");
    return converter.run(gbk, [](std::string& out, std::string_view) -> std::size_t {
        out += "\xEF\xBF\xBD";
        return 1;
    });
}

std::string gbkToUtf8(std::span<const std::uint8_t> gbk) {
    return gbkToUtf8(std::string_view(reinterpret_cast<const char*>(gbk.data()), gbk.size()));
}

std::string utf8ToGbk(std::string_view utf8) {
    thread_local Converter converter("GBK", "UTF-8");
    // A character GBK lacks stops iconv at its first byte: skip the whole
    // character so it gives one '?'; an ill-formed byte gives one '?' too.
    return converter.run(utf8, [](std::string& out, std::string_view rest) -> std::size_t {
        out += '?';
        return sequenceLength(rest);
    });
}

}  // namespace jt808
