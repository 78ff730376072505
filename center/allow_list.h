#pragma once
// The terminals allowed to register: a text file of phone numbers, one a
// line ('#' starts a comment). It is read again when it changes, so a site
// can add a terminal without restarting the center.
//
// Thread: the center's io thread.

#include <ctime>
#include <string>
#include <unordered_set>

namespace center {

class AllowList {
public:
    explicit AllowList(std::string path) : path_(std::move(path)) {}

    // Leading zeros do not count: a 2013 terminal sends 013912344329 for the
    // number a site writes as 13912344329, a 2019 one pads it to 20 digits.
    bool allows(const std::string& phone);
    const std::string& path() const { return path_; }

private:
    void reloadIfChanged();

    std::string path_;
    std::unordered_set<std::string> phones_;
    std::timespec loaded_{-1, 0};  // modification time of what was read
    off_t size_ = -1;
};

// The digits without leading zeros ("0" for all zeros).
std::string significantDigits(const std::string& phone);

}  // namespace center
