#include "protocol/line_reader.h"

namespace vardo::protocol {

void LineReader::append(std::string_view bytes) {
    if (tooLong_) {
        return;
    }
    if (start_ > 0) {
        buffer_.erase(0, start_);
        scan_ -= start_;
        start_ = 0;
    }
    buffer_.append(bytes);
}

LineReader::Status LineReader::next(std::string_view& line) {
    if (tooLong_) {
        return Status::TooLong;
    }
    const std::size_t end = buffer_.find('\n', scan_ < start_ ? start_ : scan_);
    if (end == std::string::npos) {
        scan_ = buffer_.size();
        if (buffer_.size() - start_ > maxLineBytes_) {
            tooLong_ = true;
            return Status::TooLong;
        }
        return Status::NeedMore;
    }
    std::size_t length = end - start_;
    if (length > maxLineBytes_) {
        tooLong_ = true;
        return Status::TooLong;
    }
    if (length > 0 && buffer_[end - 1] == '\r') {
        --length;
    }
    line = std::string_view(buffer_).substr(start_, length);
    start_ = end + 1;
    scan_ = start_;
    return Status::Line;
}

}  // namespace vardo::protocol
