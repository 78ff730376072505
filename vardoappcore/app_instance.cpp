#include "vardoappcore/app_instance.h"

#include <pthread.h>
#include <sys/resource.h>

#include <cerrno>
#include <exception>
#include <future>

#include "net/run_in_passes.h"
#include "vardoappcore/avi_file.h"
#include "vardoappcore/library_log.h"

namespace vardo {

AppInstance::AppInstance(HWND window, UINT message)
    : window_(window),
      message_(message),
      work_(asio::make_work_guard(io_)),
      session_(io_, *this),
      media_(io_, session_) {}

AppInstance::~AppInstance() {
    shutdown();
}

bool AppInstance::start(HVARDOAPP self) {
    const std::lock_guard lock(callMutex_);
    self_ = self;
    tracker_ = std::make_unique<DeviceTracker>(self, HandleTable::get(), *this);
    try {
        thread_ = std::thread([this] { ioMain(); });
    } catch (const std::system_error& e) {
        logLine(std::string("cannot start the I/O thread: ") + e.what());
        return false;
    }
    pthread_setname_np(thread_.native_handle(), "vardo-io");
    running_ = true;
    return true;
}

void AppInstance::ioMain() {
    for (;;) {
        try {
            net::RunInPasses(io_, kLinger);
            return;
        } catch (const std::exception& e) {
            // A fault of ours must not take the caller's process down.
            logLine(std::string("internal error on the I/O thread: ") + e.what());
        }
    }
}

template <class F>
void AppInstance::runOnIo(F&& work) {
    const std::lock_guard lock(callMutex_);
    if (!running_) {
        return;
    }
    if (std::this_thread::get_id() == thread_.get_id()) {
        work();
        return;
    }
    std::promise<void> done;
    auto future = done.get_future();
    asio::post(io_, [&work, &done] {
        try {
            work();
        } catch (const std::exception& e) {
            logLine(std::string("internal error: ") + e.what());
        }
        done.set_value();
    });
    future.wait();
}

void AppInstance::shutdown() {
    logout();
    const std::lock_guard lock(callMutex_);
    if (!running_) {
        return;
    }
    running_ = false;
    work_.reset();
    io_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
    // The I/O thread is gone: nothing feeds the writer any more. The files
    // that logout() finished get their index now.
    media_.stopWriter(std::chrono::seconds(10));
}

void AppInstance::setCenterServer(std::string address, int tcpPort, int udpPort) {
    const std::lock_guard lock(configMutex_);
    address_ = std::move(address);
    tcpPort_ = tcpPort;
    udpPort_ = udpPort;
}

void AppInstance::login(std::string user, std::string password) {
    CenterConfig config;
    {
        const std::lock_guard lock(configMutex_);
        config.address = address_;
        config.tcpPort = tcpPort_;
        config.udpPort = udpPort_;
    }
    config.user = std::move(user);
    config.password = std::move(password);
    config.timing = sessionTiming();
    active_ = false;
    clearRecordings();
    runOnIo([this, &config] {
        // A login while a session runs starts over, as after a logout.
        session_.stop();
        tracker_->endSession(false);
        media_.reset();
        tracker_->forgetDevices();
        media_.setUdpPort(config.udpPort);
        session_.start(std::move(config));
    });
}

void AppInstance::clearRecordings() {
    const std::lock_guard lock(recordMutex_);
    recordings_.clear();
}

void AppInstance::logout() {
    active_ = false;
    clearRecordings();
    runOnIo([this] {
        session_.stop();
        tracker_->endSession(false);
        media_.reset();
        tracker_->forgetDevices();
    });
}

void AppInstance::sourceStart(const ChannelRef& channel, bool video, bool audio) {
    runOnIo([&] { media_.start(channel.deviceId, channel.number, video, audio); });
}

void AppInstance::sourceStop(const ChannelRef& channel, bool video, bool audio) {
    runOnIo([&] { media_.stop(channel.deviceId, channel.number, video, audio); });
}

void AppInstance::recordStart(const ChannelRef& channel, const std::string& path, int flags) {
    const std::string label = channelLabel(channel.deviceId, channel.number);
    if (flags != 0) {
        logLine("recording of " + label + " refused: flags must be 0");
        return;
    }
    const auto key = std::make_pair(channel.deviceId, channel.number);
    {
        const std::lock_guard lock(recordMutex_);
        if (const auto it = recordings_.find(key); it != recordings_.end()) {
            if (!it->second->failed()) {
                logLine("recording of " + label + " to " + pathText(path) +
                        " not started: it records to " + pathText(it->second->path()) + " already");
                return;
            }
        }
    }
    std::string error;
    int errorNumber = 0;
    auto file = AviFile::create(path, error, &errorNumber);
    if (!file) {
        if (errorNumber == EMFILE || errorNumber == ENFILE) {
            noteOutOfFiles(label, path, error);
        } else {
            logLine("cannot record " + label + " to " + pathText(path) + ": " + error);
        }
        return;
    }
    noteFileOpened();
    auto recording = std::make_shared<Recording>(label, std::move(file));
    bool attached = false;
    runOnIo([&] { attached = media_.attach(channel.deviceId, channel.number, recording); });
    if (!attached) {
        return;  // the file is finished empty as the recording goes
    }
    logLine("recording " + label + " to " + pathText(path));
    const std::lock_guard lock(recordMutex_);
    recordings_[key] = std::move(recording);
}

void AppInstance::noteOutOfFiles(const std::string& label, const std::string& path,
                                 const std::string& error) {
    const std::lock_guard lock(recordMutex_);
    if (filesRefused_++ > 0) {
        return;  // an alarm storm: one line, not one per channel
    }
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const std::string most =
        limit.rlim_cur == RLIM_INFINITY ? "no limit" : std::to_string(limit.rlim_cur);
    logLine("cannot record " + label + " to " + pathText(path) + ": " + error +
            "; the process may have " + most +
            " files open (raise LimitNOFILE or ulimit -n); further recordings refused for "
            "this reason are counted, not logged, until one opens again");
}

void AppInstance::noteFileOpened() {
    std::size_t refused = 0;
    {
        const std::lock_guard lock(recordMutex_);
        refused = filesRefused_;
        filesRefused_ = 0;
    }
    if (refused > 1) {
        logLine(std::to_string(refused - 1) +
                " more recordings could not be opened: too many open files");
    }
}

void AppInstance::recordStop(const ChannelRef& channel) {
    {
        const std::lock_guard lock(recordMutex_);
        recordings_.erase(std::make_pair(channel.deviceId, channel.number));
    }
    runOnIo([&] { media_.detach(channel.deviceId, channel.number); });
}

bool AppInstance::isRecording(const ChannelRef& channel) const {
    const std::lock_guard lock(recordMutex_);
    const auto it = recordings_.find(std::make_pair(channel.deviceId, channel.number));
    return it != recordings_.end() && !it->second->failed();
}

std::uint64_t AppInstance::emptyRecordings() {
    std::uint64_t empty = 0;
    runOnIo([&] { empty = media_.writerCounters().empty; });
    return empty;
}

MediaCounters AppInstance::mediaCounters() {
    MediaCounters c;
    ReceiverCounters r;
    WriterCounters w;
    runOnIo([&] {
        r = media_.receiverCounters();
        w = media_.writerCounters();
        c.udpPort = media_.udpLocalPort();
        c.pendingFrameBytes = media_.pendingFrameBytes();
    });
    c.datagrams = r.datagrams;
    c.rejectedDatagrams = r.rejected;
    c.unknownStream = r.unknownStream;
    c.strangerDatagrams = r.strangers;
    c.outOfWindowFragments = r.frames.outOfWindow;
    c.framesEvicted = r.frames.evicted;
    c.lateFragments = r.frames.late;
    c.duplicateFragments = r.frames.duplicate;
    c.inconsistentFragments = r.frames.inconsistent;
    c.framesAssembled = r.frames.delivered;
    c.framesIncomplete = r.frames.incomplete;
    c.framesMissing = r.frames.missing;
    c.videoFramesWritten = w.framesWritten;
    c.audioBlocksWritten = w.audioBlocksWritten;
    c.framesDroppedByWriter = w.framesDropped;
    c.recordingsFinished = w.finished;
    c.recordingsEmpty = w.empty;
    c.recordingsFailed = w.failed;
    c.writerQueuedBytes = w.queuedBytes;
    return c;
}

void AppInstance::notify(WPARAM kind, HVARDODEV device) {
    posted_ = true;
    if (holding_) {
        held_.emplace_back(kind, device);
        return;
    }
    window_->PostMessage(message_, kind, static_cast<LPARAM>(device));
}

void AppInstance::onLinesBegin() {
    holding_ = true;
}

void AppInstance::onLinesEnd() {
    holding_ = false;
    for (const auto& [kind, device] : held_) {
        window_->PostMessage(message_, kind, static_cast<LPARAM>(device));
    }
    held_.clear();
}

void AppInstance::onLoggedIn(bool again, protocol::MediaKey mediaKey) {
    active_ = true;
    tracker_->beginSync();
    media_.onLoggedIn(again, mediaKey, session_.peerAddress(), session_.localAddress());
}

void AppInstance::ackWhenDurable() {
    runOnIo([this] { session_.ackWhenDurable(); });
}

void AppInstance::onMessage(const protocol::Message& message, bool comesAgain) {
    VARDO_EVENT_NUMBER number;
    number.epoch = session_.numbering();
    number.seq = number.epoch != 0 ? protocol::sequenceOf(message) : 0;
    number.flags = session_.listing() ? EVENT_NUMBER_LISTED : 0;
    posted_ = false;
    tracker_->apply(message, comesAgain, number);
    if (posted_ && number.seq != 0 && number.flags == 0) {
        session_.notified(number.seq);
    }
    media_.onMessage(message);
}

void AppInstance::onCenterState(int state, const std::string& reason) {
    const std::lock_guard lock(stateMutex_);
    centerState_ = state;
    centerReason_ = reason;
}

std::pair<int, std::string> AppInstance::centerState() const {
    const std::lock_guard lock(stateMutex_);
    return {centerState_, centerReason_};
}

void AppInstance::onGivenUp(bool wasLoggedIn) {
    if (wasLoggedIn) {
        // The session is over for good: what was online cannot be seen anymore.
        tracker_->endSession(true);
    }
}

}  // namespace vardo
