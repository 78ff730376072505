#include "center/file_open_watch.h"

#include <sys/inotify.h>

#include <cstring>

namespace center {

FileOpenWatch::FileOpenWatch(asio::io_context& io, std::string path, std::function<void()> opened)
    : events_(io), path_(std::move(path)), opened_(std::move(opened)) {
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd >= 0) {
        events_.assign(fd);
        read();
    }
}

bool FileOpenWatch::rearm() {
    // One event a watch: a reader that opens the file again and again
    // before it is replaced asks for one list, not one each time.
    return events_.is_open() &&
           ::inotify_add_watch(events_.native_handle(), path_.c_str(), IN_OPEN | IN_ONESHOT) >= 0;
}

void FileOpenWatch::stop() {
    asio::error_code ignored;
    events_.close(ignored);
}

void FileOpenWatch::read() {
    events_.async_read_some(asio::buffer(buffer_),
                            [this](const asio::error_code& error, std::size_t n) {
                                if (error) {
                                    return;  // closed
                                }
                                bool opened = false;
                                for (std::size_t at = 0; at + sizeof(inotify_event) <= n;) {
                                    inotify_event event{};
                                    std::memcpy(&event, buffer_.data() + at, sizeof event);
                                    opened = opened || (event.mask & IN_OPEN) != 0;
                                    at += sizeof(inotify_event) + event.len;
                                }
                                if (opened) {
                                    opened_();
                                }
                                read();
                            });
}

}  // namespace center
