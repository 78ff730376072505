#include "sim/terminal/codes_file.h"

#include <fstream>

#include "files/replace_file.h"

namespace sim::terminal {

CodesFile::CodesFile(std::string path) : path_(std::move(path)) {}

std::string CodesFile::load() {
    std::lock_guard lock(mutex_);
    codes_.clear();
    if (path_.empty()) {
        return {};
    }
    std::ifstream in(path_);
    if (!in) {
        return {};
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(' ') == std::string::npos) {
            continue;
        }
        // The code is the rest of the line: a center may hand out any text.
        const auto space = line.find(' ');
        if (space == std::string::npos || space + 1 == line.size()) {
            return path_ + ":" + std::to_string(number) + ": a phone without a code";
        }
        codes_[line.substr(0, space)] = line.substr(space + 1);
    }
    return {};
}

std::optional<std::string> CodesFile::find(const std::string& phone) const {
    std::lock_guard lock(mutex_);
    const auto it = codes_.find(phone);
    if (it == codes_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::string CodesFile::store(const std::string& phone, const std::string& code) {
    std::lock_guard lock(mutex_);
    if (code.empty()) {
        codes_.erase(phone);
    } else {
        codes_[phone] = code;
    }
    return saveLocked();
}

std::string CodesFile::saveLocked() const {
    if (path_.empty()) {
        return {};
    }
    std::string text;
    for (const auto& [phone, code] : codes_) {
        text += phone + ' ' + code + '\n';
    }
    // Replaced whole, so that a crash never leaves half the codes.
    if (std::error_code ec; !files::ReplaceFile(path_, text, ec)) {
        return "cannot replace " + path_ + ": " + ec.message();
    }
    return {};
}

}  // namespace sim::terminal
