#pragma once
// One word of a command line, as the tools read them: "--name=value" carries
// its value in the word; any other word is a name whose value, if it takes
// one, is the next word.

#include <optional>
#include <string>
#include <string_view>

namespace text {

struct OptionWord {
    std::string name;
    // Set only by "--name=value"; "--name=" sets it empty, which is not the
    // same as no value at all.
    std::optional<std::string> value;
};

// The value is all after the first '=', so a value may hold '=' itself.
OptionWord SplitOptionWord(std::string_view word);

}  // namespace text
