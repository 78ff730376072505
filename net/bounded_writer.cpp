#include "net/bounded_writer.h"

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

bool BoundedWriter::push(Chunk chunk) {
    if (chunk.bytes.size() == 0) {
        return true;
    }
    if (queuedBytes_ + chunk.bytes.size() > maxBytes_) {
        return false;
    }
    queuedBytes_ += chunk.bytes.size();
    queue_.push_back(std::move(chunk));
    if (!writing_) {
        writeNext();
    }
    return true;
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
    asio::async_write(socket_, queue_[head_].bytes,
                      [this, generation = generation_, keep = std::move(keep),
                       owner = queue_[head_].owner](const asio::error_code& error, std::size_t) {
                          if (generation != generation_) {
                              return;
                          }
                          writing_ = false;
                          if (error) {
                              clear();
                              hooks_.onError(error);
                              return;
                          }
                          queuedBytes_ -= queue_[head_].bytes.size();
                          queue_[head_].owner.reset();
                          ++head_;
                          if (head_ == queue_.size()) {
                              queue_.clear();
                              head_ = 0;
                          } else if (head_ >= 64 && head_ * 2 >= queue_.size()) {
                              // A peer that reads slowly but never catches
                              // up: the written part goes all the same.
                              queue_.erase(queue_.begin(),
                                           queue_.begin() + static_cast<std::ptrdiff_t>(head_));
                              head_ = 0;
                          }
                          if (head_ < queue_.size()) {
                              writeNext();
                          } else if (hooks_.onDrained) {
                              hooks_.onDrained();
                          }
                      });
}

}  // namespace net
