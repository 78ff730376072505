#pragma once
// The outcome of reading bytes that came from a terminal: a value, or the
// reason there is none. Nothing read from the wire throws.

#include <optional>
#include <string>
#include <utility>

namespace jt808 {

template <class T>
struct Result {
    std::optional<T> value;
    std::string error;  // why there is no value; empty when there is one

    static Result fail(std::string why) {
        Result r;
        r.error = std::move(why);
        return r;
    }
    static Result of(T v) {
        Result r;
        r.value = std::move(v);
        return r;
    }

    bool ok() const { return value.has_value(); }
    explicit operator bool() const { return ok(); }
    T& operator*() { return *value; }
    const T& operator*() const { return *value; }
    T* operator->() { return &*value; }
    const T* operator->() const { return &*value; }
};

}  // namespace jt808
