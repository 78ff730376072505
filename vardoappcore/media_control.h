#pragma once
// The media side of an instance: which channels' video and audio the window
// asked for, the media_open/media_close requests that follow, the server's
// answers, the UDP socket that receives the frames, and the recordings they
// go to.
//
// Thread: the instance's I/O thread only. Recordings are handed in and out
// by the instance (see app_instance.h); their files are written by the
// record writer, never here.

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "protocol/messages.h"
#include "vardoappcore/center_session.h"
#include "vardoappcore/media_receiver.h"
#include "vardoappcore/record_writer.h"
#include "vardoappcore/recording.h"

namespace vardo {

class MediaControl {
public:
    MediaControl(asio::io_context& io, CenterSession& session);
    ~MediaControl();

    // Asks for (start) or stops the named parts of a channel's media.
    void start(const std::string& dev, int channel, bool video, bool audio);
    void stop(const std::string& dev, int channel, bool video, bool audio);

    // The UDP port of the center server, for the logins that follow.
    void setUdpPort(int port) { udpPort_ = port; }
    // A connection logged in (from `server`): after a reconnect the server
    // knows nothing of what was asked before, so every running request goes
    // out again.
    // `local` is our end of the control connection; media is taken on that
    // interface.
    void onLoggedIn(bool again, protocol::MediaKey mediaKey, const asio::ip::address& server,
                    const asio::ip::address& local);
    void onMessage(const protocol::Message& message);
    // Logout: forget every request; every recording is finished.
    void reset();

    // Recordings. attach() gives false when the recording cannot start (no
    // writer thread); a channel records into one file at a time.
    bool attach(const std::string& dev, int channel, std::shared_ptr<Recording> recording);
    void detach(const std::string& dev, int channel);
    // Lets the writer finish what is queued; see RecordWriter::stop.
    void stopWriter(std::chrono::milliseconds limit);

    ReceiverCounters receiverCounters() const { return receiver_.counters(); }
    WriterCounters writerCounters() const;
    std::uint16_t udpLocalPort() const { return receiver_.localPort(); }
    std::size_t pendingFrameBytes() const { return receiver_.pendingBytes(); }

private:
    using Key = std::pair<std::string, int>;
    struct Channel {
        bool video = false;  // asked for
        bool audio = false;
        StreamSetup setup;  // from media_ok
        std::shared_ptr<Recording> recording;
        // When it was last asked for, and whether anything came since.
        std::chrono::steady_clock::time_point askedAt;
        bool gotMedia = false;
    };

    void onMediaOk(const protocol::MediaOk& ok);
    void onFrame(AssembledFrame&& frame);
    void route(Channel& channel, AssembledFrame&& frame);
    // The frames of a pass of the I/O thread wake the writer once, at its
    // end (net/run_in_passes.h).
    void wakeWriterAtEndOfPass();
    // Drops the channel's streams; the channel itself when nothing is left
    // of it. Closes the socket when no channel wants media.
    void tidy(const Key& key);
    void finishRecording(Channel& channel);
    bool mediaWanted() const;
    void openSocket();
    // A channel asked for now: watched for media from here on.
    void watchForMedia(Channel& channel);
    // Says, once per login, that a channel asked for kNoMediaWait ago has
    // had nothing: the frames do not get through to us.
    void checkForMedia();

    CenterSession& session_;
    MediaReceiver receiver_;
    std::unique_ptr<RecordWriter> writer_;
    std::map<Key, Channel> channels_;
    std::unordered_map<std::uint32_t, Key> streams_;
    protocol::MediaKey mediaKey_;
    int udpPort_ = 0;
    asio::ip::address server_;
    asio::ip::address local_;
    bool loggedIn_ = false;
    bool portWarned_ = false;
    bool noMediaWarned_ = false;  // this login
    bool writerWakeWaiting_ = false;
    asio::steady_timer noMediaTimer_;
    bool noMediaCheckDue_ = false;
};

}  // namespace vardo
