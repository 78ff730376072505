#include "text/option_word.h"

namespace text {

OptionWord SplitOptionWord(std::string_view word) {
    const auto eq = word.find('=');
    if (!word.starts_with("--") || eq == std::string_view::npos) {
        return {std::string(word), std::nullopt};
    }
    return {std::string(word.substr(0, eq)), std::string(word.substr(eq + 1))};
}

}  // namespace text
