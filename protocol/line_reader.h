#pragma once
// Splits a byte stream into the newline-ended lines of the control
// connection, refusing a line longer than the protocol's bound.

#include <cstddef>
#include <string>
#include <string_view>

namespace vardo::protocol {

// The longest line a peer may send, without its `\n`.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;

class LineReader {
public:
    enum class Status { Line, NeedMore, TooLong };

    explicit LineReader(std::size_t maxLineBytes = kMaxLineBytes) : maxLineBytes_(maxLineBytes) {}

    // Appends received bytes. Invalidates a line handed out by next().
    void append(std::string_view bytes);

    // The next complete line, without `\n` and without a `\r` before it. Once
    // TooLong has been returned the reader stays in that state: the peer broke
    // the protocol and the connection is to be closed.
    Status next(std::string_view& line);

    // Hands every complete line received so far to `onLine`, blank ones
    // included, until it answers false (the line ended the connection).
    // NeedMore: every complete line has been handed out; TooLong: as for
    // next(); Line: `onLine` stopped early.
    template <class OnLine>
    Status forEachLine(OnLine&& onLine) {
        std::string_view line;
        for (;;) {
            const Status status = next(line);
            if (status != Status::Line) {
                return status;
            }
            if (!onLine(line)) {
                return Status::Line;
            }
        }
    }

    // Bytes received but not yet handed out.
    std::size_t pending() const { return buffer_.size() - start_; }

private:
    std::size_t maxLineBytes_;
    std::string buffer_;
    std::size_t start_ = 0;  // first byte not yet handed out
    std::size_t scan_ = 0;   // where the search for the next `\n` goes on
    bool tooLong_ = false;
};

}  // namespace vardo::protocol
