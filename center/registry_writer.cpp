#include "center/registry_writer.h"

namespace center {

RegistryWriter::~RegistryWriter() {
    stop();
}

std::string RegistryWriter::start(Registry& registry) {
    std::string error;
    registry_ = registry.openAnother(error);
    if (!registry_) {
        return error;
    }
    thread_ = std::thread([this] { run(); });
    return {};
}

void RegistryWriter::post(Job job) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || !thread_.joinable()) {
            return;
        }
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void RegistryWriter::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
    registry_.reset();
}

void RegistryWriter::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return;  // stopping, and everything written
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job(*registry_);
    }
}

}  // namespace center
