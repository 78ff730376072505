#pragma once
// Little-endian integers and length-prefixed texts, as the journals' records
// carry them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vardo::journal {

inline void PutU8(std::string& out, std::uint8_t v) {
    out.push_back(static_cast<char>(v));
}

template <typename T>
inline void PutLe(std::string& out, T v) {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out.push_back(static_cast<char>((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xFF));
    }
}

template <typename T>
inline T GetLe(const char* p) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        v |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
    }
    return static_cast<T>(v);
}

inline void PutText(std::string& out, std::string_view text) {
    PutLe<std::uint32_t>(out, static_cast<std::uint32_t>(text.size()));
    out.append(text);
}

// Reads the payload front to back; any read past its end fails the whole.
class Cursor {
public:
    explicit Cursor(std::string_view bytes) : m_rest(bytes) {}

    template <typename T>
    bool Le(T& v) {
        if (m_rest.size() < sizeof(T)) {
            return false;
        }
        v = GetLe<T>(m_rest.data());
        m_rest.remove_prefix(sizeof(T));
        return true;
    }
    bool Text(std::string& v) {
        std::uint32_t n = 0;
        if (!Le(n) || m_rest.size() < n) {
            return false;
        }
        v.assign(m_rest.data(), n);
        m_rest.remove_prefix(n);
        return true;
    }
    bool AtEnd() const { return m_rest.empty(); }

private:
    std::string_view m_rest;
};

}  // namespace vardo::journal
