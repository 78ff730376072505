#pragma once
// Little-endian integers and length-prefixed texts, as the journals' records
// carry them.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// Writes into room made beforehand (the caller sizes the string once), so a
// record of many small fields is not grown and checked a byte at a time.
// The same bytes as PutLe, PutU8 and PutText.
class SpanWriter {
public:
    explicit SpanWriter(char* at) : m_at(at) {}

    template <typename T>
    void Le(T v) {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(m_at, &v, sizeof(T));  // one store
        } else {
            for (std::size_t i = 0; i < sizeof(T); ++i) {
                m_at[i] = static_cast<char>((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xFF);
            }
        }
        m_at += sizeof(T);
    }
    void U8(std::uint8_t v) { *m_at++ = static_cast<char>(v); }
    void Text(std::string_view text) {
        Le<std::uint32_t>(static_cast<std::uint32_t>(text.size()));
        if (!text.empty()) {
            std::memcpy(m_at, text.data(), text.size());
            m_at += text.size();
        }
    }
    // The room Text takes.
    static constexpr std::size_t TextSize(std::string_view text) { return 4 + text.size(); }
    char* At() const { return m_at; }

private:
    char* m_at;
};

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
