#include "net/bounded_writer.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <algorithm>
#include <utility>

namespace net {

BoundedWriter::BoundedWriter(asio::ip::tcp::socket& socket, std::size_t maxBytes, Hooks hooks)
    : socket_(socket), maxBytes_(maxBytes), hooks_(std::move(hooks)) {}

bool BoundedWriter::send(std::string bytes) {
    return send(std::make_shared<const std::string>(std::move(bytes)));
}

bool BoundedWriter::send(std::vector<std::uint8_t> bytes) {
    auto owner = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
    const asio::const_buffer view = asio::buffer(*owner);
    return push({std::move(owner), view});
}

bool BoundedWriter::send(std::shared_ptr<const std::string> bytes) {
    const asio::const_buffer view = asio::buffer(*bytes);
    return push({std::move(bytes), view});
}

bool BoundedWriter::sendNow(std::span<const std::uint8_t> bytes) {
    std::size_t written = 0;
    if (idle() && !held_ && !bytes.empty()) {
        const ssize_t n = ::send(socket_.native_handle(), bytes.data(), bytes.size(),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            written = static_cast<std::size_t>(n);
        }
        if (written == bytes.size()) {
            return true;
        }
    }
    return send(std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(written),
                                          bytes.end()));
}

bool BoundedWriter::push(Chunk chunk) {
    if (chunk.bytes.size() == 0) {
        return true;
    }
    if (queuedBytes_ + chunk.bytes.size() > maxBytes_) {
        return false;
    }
    queuedBytes_ += chunk.bytes.size();
    queue_.push_back(std::move(chunk));
    if (!writing_ && !held_) {
        writeNext();
    }
    return true;
}

void BoundedWriter::release() {
    held_ = false;
    if (!writing_ && head_ < queue_.size()) {
        writeNext();
    }
}

void BoundedWriter::clear() {
    ++generation_;
    queue_.clear();
    head_ = 0;
    queuedBytes_ = 0;
    writing_ = false;
}

void BoundedWriter::writeNext() {
    writing_ = true;
    std::shared_ptr<void> keep = hooks_.keepAlive ? hooks_.keepAlive() : nullptr;
    // What was queued while the last write was under way goes out in one
    // call: a busy connection (an event server's, fed by every terminal)
    // then costs a system call per batch rather than per message.
    const std::size_t count = std::min(queue_.size() - head_, kMaxGathered);
    if (count == 1) {
        asio::async_write(
            socket_, queue_[head_].bytes,
            [this, generation = generation_, keep = std::move(keep), owner = queue_[head_].owner](
                const asio::error_code& error, std::size_t) {
                if (generation == generation_) {
                    written(error, 1);
                }
            });
        return;
    }
    std::vector<asio::const_buffer> buffers;
    std::vector<std::shared_ptr<const void>> owners;
    buffers.reserve(count);
    owners.reserve(count);
    for (std::size_t i = head_; i < head_ + count; ++i) {
        buffers.push_back(queue_[i].bytes);
        owners.push_back(queue_[i].owner);
    }
    asio::async_write(
        socket_, buffers,
        [this, generation = generation_, keep = std::move(keep), owners = std::move(owners), count](
            const asio::error_code& error, std::size_t) {
            if (generation == generation_) {
                written(error, count);
            }
        });
}

void BoundedWriter::written(const asio::error_code& error, std::size_t count) {
    writing_ = false;
    if (error) {
        clear();
        hooks_.onError(error);
        return;
    }
    for (std::size_t i = 0; i < count; ++i, ++head_) {
        queuedBytes_ -= queue_[head_].bytes.size();
        queue_[head_].owner.reset();
    }
    if (head_ == queue_.size()) {
        queue_.clear();
        head_ = 0;
    } else if (head_ >= 64 && head_ * 2 >= queue_.size()) {
        // A peer that reads slowly but never catches up: the written part
        // goes all the same.
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    if (head_ < queue_.size()) {
        writeNext();
    } else if (hooks_.onDrained) {
        hooks_.onDrained();
    }
}

}  // namespace net
