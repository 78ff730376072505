#pragma once
// Tells when any process opens a file, whatever user it runs as (inotify's
// IN_OPEN): the center writes the list of terminals online when an admin's
// --list opens it, rather than every few seconds for nobody. The watch
// holds the file's inode, and tells of one open: once the file is replaced
// (written beside and renamed over it), rearm() watches the new one.
//
// Thread: the io_context's.

#include <array>
#include <asio.hpp>
#include <functional>
#include <string>

namespace center {

class FileOpenWatch {
public:
    FileOpenWatch(asio::io_context& io, std::string path, std::function<void()> opened);
    FileOpenWatch(const FileOpenWatch&) = delete;
    FileOpenWatch& operator=(const FileOpenWatch&) = delete;

    // Watches the file now at the path for its next open; false when it
    // cannot (no such file, no inotify).
    bool rearm();
    void stop();

private:
    void read();

    asio::posix::stream_descriptor events_;
    std::string path_;
    std::function<void()> opened_;
    std::array<char, 1024> buffer_{};
};

}  // namespace center
