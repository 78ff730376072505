#include "center/allow_list.h"

#include <sys/stat.h>

#include <fstream>

namespace center {

std::string significantDigits(const std::string& phone) {
    const auto first = phone.find_first_not_of('0');
    return first == std::string::npos ? std::string("0") : phone.substr(first);
}

bool AllowList::allows(const std::string& phone) {
    reloadIfChanged();
    return phones_.contains(significantDigits(phone));
}

void AllowList::reloadIfChanged() {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        phones_.clear();  // no file: nobody is allowed
        loaded_ = {-1, 0};
        return;
    }
    if (st.st_mtim.tv_sec == loaded_.tv_sec && st.st_mtim.tv_nsec == loaded_.tv_nsec &&
        st.st_size == size_) {
        return;
    }
    loaded_ = st.st_mtim;
    size_ = st.st_size;
    phones_.clear();
    std::ifstream in(path_);
    std::string line;
    while (std::getline(in, line)) {
        if (const auto hash = line.find('#'); hash != std::string::npos) {
            line.resize(hash);
        }
        std::string digits;
        bool onlyDigits = true;
        for (const char c : line) {
            if (c >= '0' && c <= '9') {
                digits += c;
            } else if (c != ' ' && c != '\t' && c != '\r' && c != '-') {
                onlyDigits = false;
            }
        }
        if (onlyDigits && !digits.empty()) {
            phones_.insert(significantDigits(digits));
        }
    }
}

}  // namespace center
