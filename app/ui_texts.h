#pragma once
// The texts of the windows in the operator's language: read from the
// [Language] section of Language/<code>.ini. A key the file lacks, or a file
// that cannot be read, gives the built-in English text the caller passes, so
// an incomplete translation never leaves a blank.

#include <initializer_list>
#include <string>
#include <string_view>

namespace app {

class UiTexts {
public:
    UiTexts() = default;

    // Reads every key of the [Language] section of the file at `path`;
    // false (and no texts) when it cannot be read.
    bool Load(const std::string& path);
    // The file's text for `key`, or `builtin`.
    std::string Get(std::string_view key, std::string_view builtin) const;
    bool Empty() const { return content_.empty(); }

    // The texts of the running program: loaded once by the main dialog's
    // start-up, on the window thread, and read there afterwards.
    static UiTexts& Current();

private:
    std::string content_;  // the file, decoded to UTF-8
};

// Shorthand for UiTexts::Current().Get(key, builtin).
std::string Tr(std::string_view key, std::string_view builtin);

// `pattern` with each "{}" replaced by the next of `values`, so that a
// translation may put names and numbers where its grammar wants them.
std::string FillText(std::string pattern, std::initializer_list<std::string> values);

}  // namespace app
