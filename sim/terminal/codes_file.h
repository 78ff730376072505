#pragma once
// The authentication codes the center handed out, kept in a file (one
// "PHONE CODE" a line) so that a restarted simulator authenticates without
// registering again, as a real terminal keeps its code in flash.
//
// Thread: any; one lock guards the table and the file.

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace sim::terminal {

class CodesFile {
public:
    // No path: codes are kept in memory only.
    explicit CodesFile(std::string path = {});

    // Reads the file; a missing file is an empty table. The error text, or
    // empty.
    std::string load();

    std::optional<std::string> find(const std::string& phone) const;
    // Stores (or with an empty code forgets) a phone's code and rewrites the
    // file through a temporary, so a crash never leaves half a file. The
    // error text, or empty.
    std::string store(const std::string& phone, const std::string& code);

private:
    std::string saveLocked() const;

    std::string path_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> codes_;
};

}  // namespace sim::terminal
