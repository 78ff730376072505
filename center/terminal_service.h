#pragma once
// What terminals are to the center: decides registration, authentication,
// driver cards and deregistration for the connections (terminal_session.h),
// owns the registry's writes, the allow-list and the feed of device events,
// and knows which connection speaks for which phone.
//
// What it trusts: a phone number proves nothing. A phone that holds a code
// is never enrolled again (an operator releases it, vardo-center --release);
// only the code logs a terminal in, and a connection speaks for the one
// phone it logged in as. Failed logins make further tries from the same
// address wait, and are summed up in the log per address.
//
// Thread: the center's io thread; registry writes run on the writer's thread
// and post their answers back.

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "center/allow_list.h"
#include "center/center_journal.h"
#include "center/device_feed.h"
#include "center/registry.h"
#include "center/registry_writer.h"
#include "center/terminal_config.h"
#include "center/waiting_answers.h"
#include "centerlink/address_guard.h"
#include "jt808/frame.h"

namespace center {

class TerminalSession;

class TerminalService {
public:
    // Called from the io thread and the registry writer's: must be safe
    // from both.
    using Log = std::function<void(const std::string&)>;
    // A message of an authenticated terminal that the center itself does not
    // handle (a terminal's general response, the answers to media commands).
    // True when the handler took it: the center then sends no "not
    // supported" answer of its own.
    using MessageHandler = std::function<bool(const std::string& phone, const jt808::Message&)>;

    TerminalService(asio::io_context& io, const TerminalConfig& config, Registry& registry,
                    DeviceFeed& feed, Log log);
    ~TerminalService();
    TerminalService(const TerminalService&) = delete;
    TerminalService& operator=(const TerminalService&) = delete;

    // Starts the registry's writer; the error text.
    std::string start();
    // Writes what is queued; later writes are dropped.
    void stop();

    void onMessage(TerminalSession& session, const jt808::Message& message);
    // The connection closed; `quiet` when a newer one took its phone.
    void closed(TerminalSession& session, bool quiet);
    // A message refused before authentication, for the log and the back-off.
    void refused(const TerminalSession& session, const std::string& why);
    // For the log: a connection that never authenticated is summed up with
    // the others of its address.
    void dropped(const TerminalSession& session, const std::string& why);

    bool sendToTerminal(const std::string& phone, std::uint16_t msgId,
                        std::span<const std::uint8_t> body);
    // The address of the phone's authenticated connection; empty when none.
    std::string addressOf(const std::string& phone) const;
    void setMessageHandler(MessageHandler handler) { handler_ = std::move(handler); }
    // With a journal, a location report is answered once the events it made
    // are durable, and refused while the journal is full.
    void setJournal(const CenterJournal* journal) { journal_ = journal; }
    const CenterJournal* journal() const { return journal_; }
    std::uint64_t reportsRefusedWhileFull() const { return refusedWhileFull_; }
    // Every event up to `seq` is durable: the reports waiting for it are
    // answered.
    void durable(std::uint64_t seq);
    std::size_t unanswered() const { return waiting_.size(); }
    std::size_t authenticated() const { return byPhone_.size(); }
    // The phone's authenticated connection; null when none is.
    const TerminalSession* sessionOf(const std::string& phone) const {
        const auto it = byPhone_.find(phone);
        return it == byPhone_.end() ? nullptr : it->second;
    }
    // Phones that logged in on another center sharing the registry: their
    // connections here close, unless they logged in here later.
    void claimedElsewhere(const std::vector<LeaseClaim>& claims);
    // Every authenticated connection, by phone.
    const std::unordered_map<std::string, TerminalSession*>& sessions() const { return byPhone_; }
    std::uint64_t refusedLogins() const { return refusals_.refused(); }

    void log(const std::string& line) const;

private:
    void onRegistration(TerminalSession& session, const jt808::Message& message);
    void enrolled(TerminalSession& session, const jt808::Message& message,
                  const TerminalRecord& record, const Registry::Enrolment& enrolment);
    void onAuthentication(TerminalSession& session, const jt808::Message& message);
    void onLocation(TerminalSession& session, const jt808::Message& message);
    void onBatch(TerminalSession& session, const jt808::Message& message);
    void onDriver(TerminalSession& session, const jt808::Message& message);
    void onDeregistration(TerminalSession& session, const jt808::Message& message);
    // The number of the last event the report made.
    std::uint64_t reportLocation(TerminalSession& session, const jt808::Location& location);
    // False (and answered with a failure) while the journal is full.
    bool roomForReports(TerminalSession& session, const jt808::Message& message);
    void answerWhenDurable(TerminalSession& session, const jt808::Message& message,
                           std::uint64_t seq);
    // A failed registration or login: logged (summed up), and the address waits.
    void failedLogin(TerminalSession& session, const std::string& why);
    // The session now owns the phone; an older session of it is closed.
    void claim(const std::string& phone, TerminalSession* session);
    bool owns(const std::string& phone, const TerminalSession* session) const;
    void touch(const std::string& phone);
    // Tells the other centers sharing the registry that this one serves the
    // phone now; `atMs` is the time of the login.
    void lease(TerminalSession& session, std::int64_t atMs);
    void leased(const std::string& phone, const TerminalSession* session, std::int64_t generation);
    void takenOver(const std::string& phone, const LeaseClaim& claim);
    void summarise();

    asio::io_context& io_;
    const TerminalConfig& config_;
    Registry& registry_;  // read here; written through writer_
    DeviceFeed& feed_;
    Log log_;
    AllowList allowList_;
    MessageHandler handler_;
    RegistryWriter writer_;
    centerlink::LoginBackOff backOff_;
    centerlink::RefusalSummary refusals_;
    centerlink::RefusalSummary drops_;
    asio::steady_timer summaryTimer_;
    std::unordered_map<std::string, TerminalSession*> byPhone_;
    // Logins and logouts whose last-seen time the writer has yet to store:
    // it takes them all in one go, so a storm of logins costs few commits.
    std::mutex seenMutex_;
    std::vector<Registry::Seen> seen_;  // guarded by seenMutex_
    // With a shared registry: the generation of this center's claim of each
    // phone it serves (-1 while the claim is on its way), and the latest
    // claim of another center that arrived meanwhile.
    std::unordered_map<std::string, std::int64_t> leases_;
    std::unordered_map<std::string, LeaseClaim> claimedMeanwhile_;
    const CenterJournal* journal_ = nullptr;
    std::uint64_t refusedWhileFull_ = 0;
    // By the event awaited; the message holds its header: the answer's
    // serial and id.
    WaitingAnswers<TerminalSession, jt808::Message> waiting_;
    // Phones whose broken location item was logged once already.
    std::unordered_set<std::string> brokenItemLogged_;
};

}  // namespace center
