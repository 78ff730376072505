#include "sim/script.h"

#include <charconv>
#include <vector>

namespace sim {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

class Tokenizer {
public:
    explicit Tokenizer(std::string_view line) : line_(line) {}

    // The next word; nothing at the end of the line or at a comment.
    std::optional<std::string> next(std::string& error) {
        skipBlanks();
        if (atEnd()) {
            return std::nullopt;
        }
        std::string word;
        if (line_[pos_] == '"') {
            ++pos_;
            for (;;) {
                if (pos_ >= line_.size()) {
                    error = "a quote is not closed";
                    return std::nullopt;
                }
                char c = line_[pos_++];
                if (c == '"') {
                    break;
                }
                if (c == '\\' && pos_ < line_.size()) {
                    c = line_[pos_++];
                }
                word += c;
            }
            if (pos_ < line_.size() && !isBlank(line_[pos_])) {
                error = "a quoted word must be followed by a blank";
                return std::nullopt;
            }
            return word;
        }
        while (pos_ < line_.size() && !isBlank(line_[pos_])) {
            word += line_[pos_++];
        }
        return word;
    }

    // The rest of the line as it stands, without a comment and without the
    // blanks around it.
    std::string rest() {
        skipBlanks();
        std::size_t end = pos_;
        while (end < line_.size()) {
            if (line_[end] == '#' && (end == 0 || isBlank(line_[end - 1]))) {
                break;
            }
            ++end;
        }
        while (end > pos_ && isBlank(line_[end - 1])) {
            --end;
        }
        std::string text(line_.substr(pos_, end - pos_));
        pos_ = line_.size();
        return text;
    }

private:
    void skipBlanks() {
        while (pos_ < line_.size() && isBlank(line_[pos_])) {
            ++pos_;
        }
    }
    bool atEnd() const { return pos_ >= line_.size() || line_[pos_] == '#'; }

    std::string_view line_;
    std::size_t pos_ = 0;
};

bool parseInt(const std::string& text, int min, int max, int& out) {
    int base = 10;
    std::string_view digits = text;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        base = 16;
        digits.remove_prefix(2);
    }
    int value = 0;
    const auto [ptr, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || ec != std::errc() || ptr != digits.data() + digits.size() ||
        value < min || value > max) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace

ParsedLine parseScriptLine(std::string_view line) {
    ParsedLine result;
    Tokenizer tokens(line);
    std::string error;
    const auto verb = tokens.next(error);
    if (!verb) {
        result.error = error;
        return result;
    }

    const auto argument = [&](const char* what) -> std::optional<std::string> {
        auto word = tokens.next(error);
        if (!word && error.empty()) {
            error = *verb + ": " + what + " is missing";
        }
        return word;
    };
    const auto noMore = [&] {
        std::string ignored;
        if (tokens.next(ignored)) {
            error = *verb + ": too many words";
            return false;
        }
        return true;
    };
    const auto number = [&](const char* what, int min, int max, int& out) {
        const auto word = argument(what);
        if (!word) {
            return false;
        }
        if (!parseInt(*word, min, max, out)) {
            error = *verb + ": " + what + " '" + *word + "' is not a number from " +
                    std::to_string(min) + " to " + std::to_string(max);
            return false;
        }
        return true;
    };

    if (*verb == "online") {
        CmdOnline c;
        const auto dev = argument("DEV");
        const auto name = dev ? argument("NAME") : std::nullopt;
        if (name && number("CHANNELS", 1, 4, c.channels)) {
            c.dev = *dev;
            c.name = *name;
            if (auto vehicle = tokens.next(error)) {
                c.vehicle = *vehicle;
                if (auto driver = tokens.next(error)) {
                    c.driver = *driver;
                }
            }
            if (error.empty() && noMore()) {
                result.command = c;
            }
        }
    } else if (*verb == "gps") {
        if (const auto dev = argument("DEV")) {
            result.command = CmdGps{*dev, tokens.rest()};
        }
    } else if (*verb == "offline") {
        if (const auto dev = argument("DEV"); dev && noMore()) {
            result.command = CmdOffline{*dev};
        }
    } else if (*verb == "alarm") {
        CmdAlarm c;
        if (const auto dev = argument("DEV"); dev && number("N", 0, 7, c.alarm) && noMore()) {
            c.dev = *dev;
            result.command = c;
        }
    } else if (*verb == "event") {
        CmdEvent c;
        if (const auto dev = argument("DEV"); dev && number("KIND", 0, 255, c.kind) && noMore()) {
            c.dev = *dev;
            result.command = c;
        }
    } else if (*verb == "wait-login") {
        if (noMore()) {
            result.command = CmdWaitLogin{};
        }
    } else if (*verb == "sleep") {
        CmdSleep c;
        if (number("MS", 0, 86'400'000, c.ms) && noMore()) {
            result.command = c;
        }
    } else if (*verb == "drop") {
        if (noMore()) {
            result.command = CmdDrop{};
        }
    } else if (*verb == "exit") {
        if (noMore()) {
            result.command = CmdExit{};
        }
    } else {
        error = "unknown command '" + *verb + "'";
    }
    if (!error.empty()) {
        result.command.reset();
        result.error = error;
    } else if (!result.command) {
        result.error = *verb + ": bad arguments";
    }
    return result;
}

}  // namespace sim
