#include "center/center_watch.h"

#include <unistd.h>

#include <cstdio>

#include "center/online_list.h"
#include "files/replace_file.h"

namespace center {

CenterWatch::CenterWatch(asio::io_context& io, const Options& options,
                         const TerminalServer& terminals, const DeviceFeed& feed,
                         const TerminalMedia& media, const centerlink::EventServerHub& hub, Log log)
    : timer_(io),
      usr1_(io, SIGUSR1),
      options_(options),
      terminals_(terminals),
      feed_(feed),
      media_(media),
      hub_(hub),
      log_(std::move(log)),
      listPath_(options.dataDir + "/" + kOnlineListFile),
      listOpens_(io, listPath_, [this] {
          listAsked_ = true;
          writeListIfDue();
      }) {}

void CenterWatch::start() {
    if (options_.metricsPort != 0) {
        if (std::string problem; !metrics_.Start(options_.metricsPort, problem)) {
            log_(problem);
        } else {
            log_("metrics on http://127.0.0.1:" + std::to_string(metrics_.Port()) + "/metrics");
        }
    }
    const auto now = std::chrono::steady_clock::now();
    nextStatus_ = now + std::chrono::seconds(options_.statusInterval);
    waitForUsr1();
    tick();
}

void CenterWatch::stop() {
    asio::error_code ignored;
    timer_.cancel();
    usr1_.cancel(ignored);
    listOpens_.stop();
    metrics_.Stop();
    std::remove(listPath_.c_str());
}

CenterCounts CenterWatch::counts() const {
    CenterCounts c;
    c.terminalsConnected = terminals_.connections();
    c.terminalsAuthenticated = terminals_.authenticated();
    c.mediaStreams = media_.streams();
    c.eventServers = hub_.loggedInClients();
    c.reports = feed_.reports();
    c.reportsRepeated = feed_.reportsAgain();
    c.refusedConnections = terminals_.refusedConnections();
    c.mediaRequests = media_.counters().requests;
    c.mediaFrames = media_.counters().frames;
    c.eventsUnacknowledged = hub_.unacknowledged();
    c.eventsDropped = hub_.droppedUnacknowledged();
    const TerminalService& service = terminals_.service();
    if (const CenterJournal* journal = service.journal()) {
        c.journalOn = true;
        c.journalBytes = journal->bytesOnDisk();
        c.journalFull = journal->full();
        c.reportsRefusedFull = service.reportsRefusedWhileFull();
    }
    return c;
}

void CenterWatch::tick() {
    const auto now = std::chrono::steady_clock::now();
    if (metrics_.Port() != 0) {
        metrics_.Publish(CenterMetricsText(counts()));
    }
    writeListIfDue();
    if (options_.statusInterval > 0 && now >= nextStatus_) {
        nextStatus_ = now + std::chrono::seconds(options_.statusInterval);
        log_(CenterStatusLine(counts()));
    }
    timer_.expires_after(std::chrono::seconds(1));
    timer_.async_wait([this](const asio::error_code& error) {
        if (!error) {
            tick();
        }
    });
}

void CenterWatch::waitForUsr1() {
    usr1_.async_wait([this](const asio::error_code& error, int) {
        if (!error) {
            log_(CenterStatusLine(counts()));
            waitForUsr1();
        }
    });
}

void CenterWatch::writeListIfDue() {
    const auto now = std::chrono::steady_clock::now();
    // Opened again and again (a script reading it in a loop), the list is
    // still written at most once in kOnlineListPeriod: the tick writes one
    // asked for sooner.
    if (listWritten_ &&
        now < *listWritten_ + (listAsked_ ? kOnlineListPeriod : kOnlineListRefresh)) {
        return;
    }
    listWritten_ = now;
    listAsked_ = false;
    writeList();
}

void CenterWatch::writeList() {
    const std::string text =
        OnlineListText(terminals_.onlineTerminals(), std::chrono::system_clock::now(), ::getpid());
    if (std::error_code ec; !files::ReplaceFile(listPath_, text, ec)) {
        if (!listFailed_) {
            log_("cannot write " + listPath_ + ": " + ec.message() +
                 " (--list cannot show the terminals online)");
        }
        listFailed_ = true;
    } else {
        listFailed_ = false;
        listOpens_.rearm();
    }
}

}  // namespace center
