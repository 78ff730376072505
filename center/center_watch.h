#pragma once
// What the running center shows an admin, kept up to date on its io thread:
// every second the metrics (with --metrics-port), the list of terminals
// online in the data folder (for --list) when it is opened and once a
// minute, the status line every --status-interval and at each SIGUSR1.
//
// Thread: the center's io thread; the metrics endpoint serves from its own.

#include <asio.hpp>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "center/center_status.h"
#include "center/device_feed.h"
#include "center/file_open_watch.h"
#include "center/options.h"
#include "center/terminal_media.h"
#include "center/terminal_server.h"
#include "centerlink/event_server_hub.h"
#include "metrics/http_endpoint.h"

namespace center {

class CenterWatch {
public:
    using Log = std::function<void(const std::string&)>;

    CenterWatch(asio::io_context& io, const Options& options, const TerminalServer& terminals,
                const DeviceFeed& feed, const TerminalMedia& media,
                const centerlink::EventServerHub& hub, Log log);

    void start();
    // At the stop: the endpoint closes and the list goes, so that --list
    // says no center runs.
    void stop();

    CenterCounts counts() const;

private:
    void tick();
    void waitForUsr1();
    // Writes the list of terminals online if it is due: asked for by an
    // open of the file, or not written for kOnlineListRefresh.
    void writeListIfDue();
    void writeList();

    asio::steady_timer timer_;
    asio::signal_set usr1_;
    const Options& options_;
    const TerminalServer& terminals_;
    const DeviceFeed& feed_;
    const TerminalMedia& media_;
    const centerlink::EventServerHub& hub_;
    Log log_;
    const std::string listPath_;
    FileOpenWatch listOpens_;
    metrics::HttpEndpoint metrics_;
    // When the list was last written (none yet: at the first tick), and
    // whether it was opened since.
    std::optional<std::chrono::steady_clock::time_point> listWritten_;
    bool listAsked_ = false;
    std::chrono::steady_clock::time_point nextStatus_{};
    bool listFailed_ = false;  // said once until a write works again
};

}  // namespace center
