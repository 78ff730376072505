// vardo-center: the center that JT/T 808 vehicle terminals connect to and
// that event servers log into over the center protocol.

#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sysexits.h>

#include <asio.hpp>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "center/center_journal.h"
#include "center/center_watch.h"
#include "center/device_feed.h"
#include "center/media_port.h"
#include "center/online_list.h"
#include "center/options.h"
#include "center/pass_linger.h"
#include "center/registry_open.h"
#include "center/terminal_media.h"
#include "center/terminal_server.h"
#include "centerlink/event_server_hub.h"
#include "files/instance_lock.h"
#include "files/private_files.h"
#include "net/run_in_passes.h"
#include "text/log_text.h"

#ifndef VARDO_VERSION
#define VARDO_VERSION "0"
#endif

namespace {

void logLine(const std::string& line) {
    const std::string entry = "vardo-center: " + text::EscapeControlBytes(line) + "\n";
    std::fwrite(entry.data(), 1, entry.size(), stderr);
    std::fflush(stderr);
}

bool isWildcard(const std::string& address) {
    return address == "0.0.0.0" || address == "::";
}

// Calls `then` once the hub has no event waiting for the journal, or at
// `limit`: a stalled disk must not hold the stop.
void waitForJournal(asio::io_context& io, centerlink::EventServerHub& hub,
                    std::chrono::steady_clock::time_point limit, std::function<void()> then) {
    if (hub.unsynced() == 0 || std::chrono::steady_clock::now() >= limit) {
        then();
        return;
    }
    auto timer = std::make_shared<asio::steady_timer>(io, std::chrono::milliseconds(10));
    timer->async_wait([&io, &hub, limit, then = std::move(then), timer](const asio::error_code&) {
        waitForJournal(io, hub, limit, then);
    });
}

}  // namespace

int main(int argc, char** argv) {
    // Until the status line answers it, SIGUSR1 must not end the center.
    std::signal(SIGUSR1, SIG_IGN);
    // A login storm's passes use buffers of megabytes for a moment. Left to
    // itself malloc raises its thresholds after freeing one, then keeps such
    // buffers in the heap between the sessions' small blocks, where they stay
    // with the process for good (a fifth more memory a terminal after a
    // storm); fixed thresholds give them back when freed.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    ::mallopt(M_TRIM_THRESHOLD, 128 * 1024);
    const center::ParsedOptions parsed =
        center::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        if (parsed.configError) {
            // The service's settings: systemd is not to try again every 5 s.
            logLine(parsed.error);
            return EX_CONFIG;
        }
        std::fprintf(stderr, "vardo-center: %s\n%s", parsed.error.c_str(),
                     center::usageText().c_str());
        return 2;
    }
    const center::Options& o = parsed.options;
    if (o.help) {
        std::fputs(center::usageText().c_str(), stdout);
        return 0;
    }
    if (o.version) {
        std::printf("vardo-center %s\n", VARDO_VERSION);
        return 0;
    }
    if (o.list) {
        std::string text;
        const bool listed =
            center::ReadOnlineList(o.dataDir, std::chrono::system_clock::now(), text);
        if (!listed) {
            logLine(text);
            return 1;
        }
        std::fputs(text.c_str(), stdout);
        return 0;
    }

    if (!o.release.empty()) {
        // An operator's act on the registry; a running center reads it when
        // the phone registers, so it needs no restart.
        std::string error;
        const auto registry = center::OpenRegistry(o, logLine, error);
        if (!registry) {
            logLine(error);
            return 1;
        }
        const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
        const std::string released = registry->release(
            o.release, o.releaseWindow.count() == 0 ? 0 : now + o.releaseWindow.count());
        if (released.starts_with("error: ")) {
            logLine("cannot release " + text::PeerText(o.release) + ": " + released.substr(7));
            return 1;
        }
        logLine("released terminal " + released + ": its code no longer works; it may register " +
                (o.releaseWindow.count() == 0
                     ? std::string("again")
                     : "again within " + std::to_string(o.releaseWindow.count()) + " s"));
        return 0;
    }

    if (std::string problem = center::credentialsProblem(o); !problem.empty()) {
        logLine(problem);
        return EX_CONFIG;
    }

    // Every terminal is a socket: take all the descriptors the system grants.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    // The registry holds every terminal's authentication code: the folder
    // and the file are the service's own.
    if (std::error_code ec; !files::CreatePrivateFolders(o.dataDir, ec)) {
        logLine("cannot create the data folder " + text::PeerText(o.dataDir, 1024) + ": " +
                ec.message() + " (give another with --data DIR)");
        return 1;
    }
    // A second center on this folder would write into the same journal and
    // registry (a start by hand beside the service's, say).
    files::InstanceLock instance;
    if (!instance.Acquire(o.dataDir, ".vardo-center.lock", "vardo-center", "the data folder")) {
        logLine(instance.Problem());
        return 1;
    }

    std::string registryError;
    const auto registry = center::OpenRegistry(o, logLine, registryError);
    if (!registry) {
        logLine(registryError);
        return 1;
    }

    asio::io_context io(1);
    centerlink::HubConfig hubConfig{
        o.listen, o.tcpPort, o.udpPort, o.users, std::chrono::seconds(30), logLine};
    hubConfig.loginLimit = o.eventServerLoginTimeout;
    hubConfig.maxUnauthenticated = static_cast<std::size_t>(o.maxEventServerLogins);
    hubConfig.maxUnauthenticatedPerAddress =
        static_cast<std::size_t>(o.maxEventServerLoginsPerAddress);
    centerlink::BackOffPolicy backOff;
    backOff.freeFailures = o.freeLoginFailures;
    backOff.longestWait = o.longestLoginWait;
    hubConfig.backOff = backOff;
    if (o.journalMaxMb > 0) {
        hubConfig.maxUnacknowledgedBytes = std::size_t(o.journalMaxMb) << 20;
    }
    centerlink::EventServerHub hub(io, std::move(hubConfig));
    center::DeviceFeed feed(hub, o.channels, logLine);
    // Filled in below; the journal's writer reaches it only once open.
    center::TerminalService* service = nullptr;
    // The journal's writer is woken at the end of a pass, once for every
    // report the pass read.
    center::CenterJournal journal(center::CenterJournal::Options{
        o.dataDir + "/journal", std::uint64_t(o.journalMaxMb) << 20, 32u << 20, logLine,
        [&io, &hub, &service](std::uint64_t seq) {
            asio::post(io, [&hub, &service, seq] {
                hub.durable(seq);
                service->durable(seq);
            });
        },
        [&io](std::function<void()> task) { net::AtEndOfPass(io.get_executor(), std::move(task)); },
        o.syncInterval,
        // The events a start reads back to tell reports sent again (each
        // device's last few fixes among them).
        std::uint64_t{1} << 18});
    center::TerminalConfig terminals;
    terminals.listen = o.listen;
    terminals.port = o.jt808Port;
    terminals.maxTerminals = static_cast<std::size_t>(o.maxTerminals);
    terminals.maxFrameBytes = static_cast<std::size_t>(o.maxFrameBytes);
    terminals.maxPendingPackages = static_cast<std::size_t>(o.maxPendingPackages);
    terminals.authFailureLimit = o.authFailureLimit;
    terminals.heartbeatTimeout = o.heartbeatTimeout;
    terminals.authTimeout = o.authTimeout;
    terminals.maxUnauthenticated = static_cast<std::size_t>(o.maxUnauthenticated);
    terminals.maxUnauthenticatedPerAddress =
        static_cast<std::size_t>(o.maxUnauthenticatedPerAddress);
    terminals.backOff = backOff;
    terminals.openRegistration = o.openRegistration;
    terminals.proxyProtocol = o.proxyProtocol;
    terminals.allowListPath = o.dataDir + "/allowed-terminals";
    center::TerminalServer terminalServer(io, terminals, *registry, feed, logLine);
    service = &terminalServer.service();
    if (o.journalMaxMb > 0) {
        center::CenterJournal::Restored restored;
        if (std::string error = journal.open(restored); !error.empty()) {
            logLine("journal: " + error);
            return 1;
        }
        std::vector<centerlink::EventServerHub::Kept> waiting;
        for (auto& entry : restored.entries) {
            feed.rememberLine(entry.line, entry.seq);
            if (entry.seq > restored.done) {
                waiting.push_back({entry.seq, std::move(entry.line)});
            }
        }
        for (const std::string& user : center::DropMarksOfOthers(restored, o.users)) {
            logLine("journal: event server '" + text::PeerText(user) +
                    "' is no longer a user; events are no longer kept for it");
        }
        hub.restore(restored.epoch, restored.lastSeq, restored.acked, std::move(waiting));
        hub.setEventLog(&journal);
        feed.rememberFixes(true);
        service->setJournal(&journal);
    }
    center::MediaPortConfig mediaPortConfig;
    mediaPortConfig.maxConnections = static_cast<std::size_t>(o.maxMediaConnections);
    mediaPortConfig.maxUnproven = static_cast<std::size_t>(o.maxUnprovenMedia);
    mediaPortConfig.maxUnprovenPerAddress = static_cast<std::size_t>(o.maxUnprovenMediaPerAddress);
    mediaPortConfig.idleLimit = o.mediaProofTimeout;
    mediaPortConfig.delayedAcks = !o.mediaQuickAcks;
    center::MediaPort media(io, logLine, {}, mediaPortConfig);
    for (std::string error :
         {hub.open(), terminalServer.open(), media.open(o.listen, o.mediaPort)}) {
        if (!error.empty()) {
            logLine(error);
            return 1;
        }
    }
    // Event servers' media_open become requests to the terminals; their
    // packets come back through the media port. Until it is set, the hub
    // answers media_open with its own "no media".
    center::TerminalMediaConfig mediaConfig;
    mediaConfig.host = !o.mediaHost.empty()   ? o.mediaHost
                       : isWildcard(o.listen) ? std::string("127.0.0.1")
                                              : o.listen;
    if (o.mediaHost.empty() && isWildcard(o.listen)) {
        // A center on every address cannot know which one a terminal can
        // reach; the one its connection came in on is such an address.
        mediaConfig.hostFor = [&terminalServer](const std::string& phone) {
            return terminalServer.localAddressOf(phone);
        };
    }
    mediaConfig.port = media.port();
    mediaConfig.anySource = o.mediaAnySource;
    mediaConfig.stopGrace = o.mediaStopGrace;
    center::TerminalMedia terminalMedia(
        io, hub,
        [&terminalServer](const std::string& phone, std::uint16_t msgId,
                          std::span<const std::uint8_t> body) {
            return terminalServer.sendToTerminal(phone, msgId, body);
        },
        mediaConfig, logLine);
    hub.setMediaProvider(&terminalMedia);
    terminalServer.setMessageHandler(
        [&terminalMedia](const std::string& phone, const jt808::Message& message) {
            return terminalMedia.onTerminalMessage(phone, message);
        });
    terminalMedia.setTerminalAddress([&terminalServer](const std::string& phone) {
        return terminalServer.service().addressOf(phone);
    });
    media.setPacketHandler(
        [&terminalMedia](const jt1078::Packet& packet, const center::MediaSource& source) {
            return terminalMedia.onPacket(packet, source);
        });
    media.setSourceGone([&terminalMedia](std::uint64_t id) { terminalMedia.sourceGone(id); });

    center::CenterWatch watch(io, o, terminalServer, feed, terminalMedia, hub, logLine);
    bool stopping = false;
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& error, int) {
        if (error || stopping) {
            return;
        }
        stopping = true;
        logLine("stopping");
        watch.stop();
        media.close();
        terminalMedia.stop();
        // Terminals first, so that event servers still hear them go offline.
        terminalServer.close();
        // The offline events just made reach the event servers once synced.
        waitForJournal(
            io, hub, std::chrono::steady_clock::now() + std::chrono::seconds(2),
            [&hub, &io] { hub.closeGracefully(std::chrono::seconds(5), [&io] { io.stop(); }); });
    });

    // Tests and scripts read the ports from this line (useful with port 0).
    std::printf("vardo-center: listening jt808 %u tcp %u udp %u media %u\n",
                static_cast<unsigned>(terminalServer.port()), static_cast<unsigned>(hub.tcpPort()),
                static_cast<unsigned>(hub.udpPort()), static_cast<unsigned>(media.port()));
    std::fflush(stdout);
    logLine(std::string("registry '") + registry->where() + "' holds " +
            std::to_string(registry->count()) + " terminals; registration " +
            (o.openRegistration           ? "open to any terminal"
             : registry->keepsAllowList() ? std::string("limited to the registry's allow-list")
                                          : "limited to '" + o.dataDir + "/allowed-terminals'"));

    watch.start();
    if (o.linger > std::chrono::microseconds::zero()) {
        net::RunInPasses(io, center::PassLinger(
                                 o.linger, [&feed] { return feed.reports(); },
                                 [&terminalMedia] { return terminalMedia.streams() > 0; }));
    } else {
        io.run();
    }
    // The hub outlives the terminal media: it must not reach it any more
    // (its destructor closes what is left, and would call into a
    // destroyed provider).
    hub.setMediaProvider(nullptr);
    journal.close();
    // The counts of the whole run, for whoever reads the log afterwards.
    logLine(center::CenterStatusLine(watch.counts()));
    logLine("stopped");
    return 0;
}
