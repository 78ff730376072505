#pragma once
// One library instance: its I/O thread, the control session, the device
// bookkeeping and the media side. The API functions find it through the
// handle table and call the members below from the window thread.
//
// Threads: `io_` runs on `thread_`; session_, tracker_ and media_ are touched
// only there. Calls from the window thread reach them through runOnIo(), which
// waits for the I/O thread to have done the work (never for the peer).
// Recording files are opened on the calling thread (so that a start that
// cannot work is known at once) and written by the record writer's thread;
// recordings_ answers MyVardoChn_IsRecording without a trip to the I/O
// thread.

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "vardoappcore/api/vardo_app_core.h"
#include "vardoappcore/center_session.h"
#include "vardoappcore/device_tracker.h"
#include "vardoappcore/handle_table.h"
#include "vardoappcore/media_control.h"
#include "vardoappcore/media_counters.h"
#include "vardoappcore/recording.h"

namespace vardo {

class AppInstance final : public NotificationSink, private CenterSession::Listener {
public:
    AppInstance(HWND window, UINT message);
    ~AppInstance();
    AppInstance(const AppInstance&) = delete;
    AppInstance& operator=(const AppInstance&) = delete;

    // Starts the I/O thread; false when it cannot.
    bool start(HVARDOAPP self);
    // Logs out and ends the I/O thread. Afterwards every call is a no-op.
    void shutdown();

    void setCenterServer(std::string address, int tcpPort, int udpPort);
    void login(std::string user, std::string password);
    void logout();
    bool isActive() const { return active_.load(); }
    // CENTER_* and why the last attempt failed; any thread.
    std::pair<int, std::string> centerState() const;

    void sourceStart(const ChannelRef& channel, bool video, bool audio);
    void sourceStop(const ChannelRef& channel, bool video, bool audio);
    void recordStart(const ChannelRef& channel, const std::string& path, int flags);
    void recordStop(const ChannelRef& channel);
    bool isRecording(const ChannelRef& channel) const;
    MediaCounters mediaCounters();
    // Recordings finished without any media.
    std::uint64_t emptyRecordings();
    // vardo_app_acks.h: acknowledge only what the caller says it keeps.
    void ackWhenDurable();
    void setDurable(std::uint64_t epoch, std::uint64_t seq) { session_.setDurable(epoch, seq); }

private:
    void notify(WPARAM kind, HVARDODEV device) override;
    void onLoggedIn(bool again, protocol::MediaKey mediaKey) override;
    void onMessage(const protocol::Message& message, bool comesAgain) override;
    void onGivenUp(bool wasLoggedIn) override;
    void onCenterState(int state, const std::string& reason) override;
    void onLinesBegin() override;
    void onLinesEnd() override;

    // Runs `work` on the I/O thread and waits until it has run.
    template <class F>
    void runOnIo(F&& work);
    void ioMain();
    // The I/O thread works in passes (net/run_in_passes.h): after what woke
    // it, it waits this long and takes what came meanwhile at once. Media of
    // many channels then costs a wake-up of it and of the record writer a
    // pass, not one a frame or two; nothing waits longer than this for it.
    static constexpr std::chrono::microseconds kLinger{2000};
    void clearRecordings();
    // A recording that cannot open for want of file descriptors: logged once
    // (with the limit), the rest counted until a file opens again.
    void noteOutOfFiles(const std::string& label, const std::string& path,
                        const std::string& error);
    void noteFileOpened();

    HWND window_;
    UINT message_;
    HVARDOAPP self_ = 0;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    CenterSession session_;
    MediaControl media_;
    std::unique_ptr<DeviceTracker> tracker_;
    bool posted_ = false;  // the message in hand made a notification (io thread)
    // While the lines of one read are handled, their notifications wait here
    // and go to the window together at the end: its thread then wakes once
    // for the lot, not once for each (a wake-up costs it more than handling
    // a fix). I/O thread only.
    bool holding_ = false;
    std::vector<std::pair<WPARAM, HVARDODEV>> held_;
    std::thread thread_;

    std::mutex callMutex_;  // one window-thread call into the I/O thread at a time
    bool running_ = false;  // guarded by callMutex_
    std::mutex configMutex_;
    std::string address_;  // guarded by configMutex_
    int tcpPort_ = 0;
    int udpPort_ = 0;
    std::atomic<bool> active_{false};
    mutable std::mutex stateMutex_;
    int centerState_ = CENTER_IDLE;  // guarded by stateMutex_
    std::string centerReason_;       // guarded by stateMutex_

    mutable std::mutex recordMutex_;
    // Guarded by recordMutex_: the running recordings, by device and channel.
    std::map<std::pair<std::string, int>, std::shared_ptr<Recording>> recordings_;
    // Guarded by recordMutex_: recordings refused for too many open files
    // since the last one that opened.
    std::size_t filesRefused_ = 0;
};

}  // namespace vardo
