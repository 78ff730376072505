#include "text/option_table.h"

#include <cmath>
#include <fstream>

#include "text/ascii.h"
#include "text/option_word.h"

namespace text {
namespace {

// Where the help of an option starts: long enough for most "--name VALUE".
constexpr std::size_t kHelpColumn = 27;
// A file naming another is followed this deep, so a loop ends with an error.
constexpr int kMaxFileDepth = 4;

}  // namespace

std::string NumberText(double value) {
    // Whole numbers in full: "from 1 to 1000000", not "to 1e+06".
    if (std::abs(value) < 1e15 && value == std::trunc(value)) {
        return std::to_string(static_cast<long long>(value));
    }
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : std::string("?");
}

OptionTable::OptionTable(std::string usage, std::string summary, std::vector<Option> options,
                         std::string epilogue)
    : usage_(std::move(usage)),
      summary_(std::move(summary)),
      options_(std::move(options)),
      epilogue_(std::move(epilogue)) {}

void OptionTable::add(Option option) {
    options_.push_back(std::move(option));
}

const Option* OptionTable::find(const std::string& name) const {
    for (const Option& option : options_) {
        if (option.name == name || (!option.alias.empty() && option.alias == name)) {
            return &option;
        }
    }
    return nullptr;
}

std::string OptionTable::apply(const Option& option, const std::string& value) const {
    if (std::string why = option.set(value); !why.empty()) {
        return option.name + ": " + why;
    }
    return {};
}

std::string OptionTable::parseArgs(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        auto [name, value] = SplitOptionWord(args[i]);
        const Option* option = find(name);
        if (option == nullptr) {
            return "unknown option '" + name + "'";
        }
        if (option->valueName.empty()) {
            // A switch: "--open-registration=false" still says no.
            if (std::string why = apply(*option, value.value_or("true")); !why.empty()) {
                return why;
            }
            continue;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                return option->name + " needs a value";
            }
            value = args[++i];
        }
        if (std::string why = apply(*option, *value); !why.empty()) {
            return why;
        }
    }
    return {};
}

std::string OptionTable::parseFile(const std::string& path) {
    if (fileDepth_ >= kMaxFileDepth) {
        return "configuration files include each other";
    }
    std::ifstream in(path);
    if (!in) {
        return "cannot read '" + path + "'";
    }
    ++fileDepth_;
    const auto result = [this](std::string error) {
        --fileDepth_;
        return error;
    };
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (const auto hash = line.find('#'); hash != std::string::npos) {
            line.resize(hash);
        }
        line = std::string(TrimAscii(line));
        if (line.empty()) {
            continue;
        }
        const std::string where = path + ":" + std::to_string(number) + ": ";
        auto split = line.find('=');
        if (split == std::string::npos) {
            split = line.find_first_of(" \t");
        }
        const std::string key(TrimAscii(line.substr(0, split)));
        const Option* option = find("--" + key);
        if (option == nullptr || key.starts_with("-")) {
            return result(where + "unknown option '" + key + "'");
        }
        std::string value = "true";
        if (split != std::string::npos) {
            value = std::string(TrimAscii(line.substr(split + 1)));
        } else if (!option->valueName.empty()) {
            return result(where + "'" + line + "' has no value");
        }
        if (std::string why = apply(*option, value); !why.empty()) {
            return result(where + why);
        }
    }
    return result({});
}

std::string OptionTable::helpText() const {
    std::string out = usage_ + "\n" + summary_ + "\n";
    for (const Option& option : options_) {
        std::string left = "  " + option.name;
        if (!option.alias.empty()) {
            left += ", " + option.alias;
        }
        if (!option.valueName.empty()) {
            left += " " + option.valueName;
        }
        // Two blanks at least between an option and its help.
        left += left.size() + 2 <= kHelpColumn ? std::string(kHelpColumn - left.size(), ' ')
                                               : std::string(2, ' ');
        std::size_t start = 0;
        while (start <= option.help.size()) {
            const std::size_t end = std::min(option.help.find('\n', start), option.help.size());
            out += (start == 0 ? left : std::string(kHelpColumn, ' ')) +
                   option.help.substr(start, end - start) + "\n";
            start = end + 1;
        }
    }
    return out + epilogue_;
}

OptionSetter SetSwitch(bool& target, bool on) {
    return [&target, on](const std::string& value) -> std::string {
        if (value == "true" || value == "1" || value == "yes") {
            target = on;
        } else if (value == "false" || value == "0" || value == "no") {
            target = !on;
        } else {
            return "'" + value + "' is not true or false";
        }
        return {};
    };
}

OptionSetter SetText(std::string& target, std::string emptyError) {
    return [&target, emptyError](const std::string& value) -> std::string {
        if (value.empty() && !emptyError.empty()) {
            return emptyError;
        }
        target = value;
        return {};
    };
}

OptionSetter SetText(std::optional<std::string>& target, std::string emptyError) {
    return [&target, emptyError](const std::string& value) -> std::string {
        if (value.empty() && !emptyError.empty()) {
            return emptyError;
        }
        target = value;
        return {};
    };
}

OptionSetter SetPort(int& target, int min) {
    return SetNumber(target, min, 65535, "a port number (" + std::to_string(min) + "-65535)");
}

}  // namespace text
