#pragma once
// The command line (and configuration file) of a program as one table: each
// option has its name, what its value is, where it goes, its range and its
// help line. The same table parses the words of a command line, the lines of
// a configuration file and writes --help, so the three never disagree.
//
// Errors name the option and say what was expected:
//   "--tcp-port: '70000' is not a port number (0-65535)"
//   "--media-port needs a value"
//   "unknown option '--frobnicate'"
//   "center.conf:4: unknown option 'jt808-prot'"

#include <charconv>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace text {

// Stores a value; gives what is wrong with it, empty when it is taken.
using OptionSetter = std::function<std::string(const std::string& value)>;

struct Option {
    std::string name;       // "--listen"
    std::string valueName;  // "ADDR"; empty: a switch that takes no value
    // One or more lines, '\n' between them; the default in parentheses at
    // the end, as the users of --help expect it.
    std::string help;
    OptionSetter set;
    std::string alias = {};  // "-h"; command line only
};

class OptionTable {
public:
    // `usage` and `summary` head --help; `epilogue` follows the options.
    OptionTable(std::string usage, std::string summary, std::vector<Option> options,
                std::string epilogue = {});

    void add(Option option);

    // The words after the program's name. "--name=value" carries its value;
    // otherwise a valued option takes the next word. Stops at the first
    // mistake and gives it; empty when all is good.
    std::string parseArgs(const std::vector<std::string>& args);

    // Lines "name = value" or "name value" (the long names without their
    // dashes), '#' starting a comment, a switch alone on its line. A file
    // may name another with the option that reads files, up to a few deep.
    std::string parseFile(const std::string& path);

    std::string helpText() const;

private:
    const Option* find(const std::string& name) const;
    std::string apply(const Option& option, const std::string& value) const;

    std::string usage_;
    std::string summary_;
    std::vector<Option> options_;
    std::string epilogue_;
    int fileDepth_ = 0;
};

// Setters for the usual kinds of value.

// true/false, yes/no, 1/0; a switch given alone sets `on`.
OptionSetter SetSwitch(bool& target, bool on = true);

// Any text; `emptyError` refuses an empty one ("needs a folder").
OptionSetter SetText(std::string& target, std::string emptyError = {});
OptionSetter SetText(std::optional<std::string>& target, std::string emptyError = {});

// 0-65535 (or from `min`): "'V' is not a port number (0-65535)".
OptionSetter SetPort(int& target, int min = 0);

// A whole number or a decimal one from `min` to `max`; `expected` finishes
// the error "'V' is not …", by default "a number from MIN to MAX".
template <class T>
bool ParseNumber(const std::string& text, T& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    if constexpr (std::is_floating_point_v<T>) {
        if (ec == std::errc() && !std::isfinite(out)) {
            return false;
        }
    }
    return ec == std::errc() && ptr == end && !text.empty();
}

std::string NumberText(double value);

template <class T>
OptionSetter SetNumber(T& target, T min, T max, std::string expected = {}) {
    if (expected.empty()) {
        expected = "a number from " + NumberText(static_cast<double>(min)) + " to " +
                   NumberText(static_cast<double>(max));
    }
    return [&target, min, max, expected](const std::string& value) -> std::string {
        T n{};
        if (!ParseNumber(value, n) || n < min || n > max) {
            return "'" + value + "' is not " + expected;
        }
        target = n;
        return {};
    };
}

// One of a few words, each with its value.
template <class T>
OptionSetter SetChoice(T& target, std::vector<std::pair<std::string, T>> choices,
                       std::string expected) {
    return [&target, choices = std::move(choices),
            expected = std::move(expected)](const std::string& value) -> std::string {
        for (const auto& [word, choice] : choices) {
            if (word == value) {
                target = choice;
                return {};
            }
        }
        return "'" + value + "' is not " + expected;
    };
}

}  // namespace text
