#pragma once
// The application object of a run without a window: every dialog that opens
// gets a HeadlessHost. Message boxes go to a sink, one line each (stderr
// unless the program says otherwise); a close request from another thread
// (a signal) reaches every open dialog as a click of its close box.

#include <functional>
#include <memory>
#include <string>

#include "ui/clock.h"
#include "ui/dialog_host.h"
#include "ui/headless/headless_host.h"
#include "ui/open_dialogs.h"

namespace ui::headless {

class HeadlessApplication final : public Application {
public:
    using MessageBoxSink = std::function<void(const MessageBoxRecord&)>;
    using LogSink = std::function<void(const std::string& line)>;
    using InitHook = std::function<void(HeadlessHost&)>;

    HeadlessApplication(const ResourceTable& resources, std::string title,
                        Clock& clock = DefaultClock());
    ~HeadlessApplication() override;

    std::unique_ptr<DialogHost> CreateDialogHost(CDialog& dialog,
                                                 const DialogTemplate& dialogTemplate) override;

    // Replaces where message boxes go; the default writes
    // "<caption>: <text>" as one line on stderr.
    void SetMessageBoxSink(MessageBoxSink sink);
    // Replaces where the hosts' own lines go (a handler that threw); the
    // default writes "<title>: <line>" on stderr.
    void SetLogSink(LogSink sink);
    // Runs after each dialog's initialisation, before its loop.
    void SetInitHook(InitHook hook) { dialogs_.SetInitHook(std::move(hook)); }
    Clock& GetClock() { return clock_; }

    // Any thread: asks every open dialog, and every dialog opened later, to
    // close as its close box would.
    void RequestClose() { dialogs_.RequestClose(); }
    bool CloseRequested() const { return dialogs_.CloseRequested(); }

    // For the hosts.
    void Register(HeadlessHost& host) { dialogs_.Register(host); }
    void Unregister(HeadlessHost& host) { dialogs_.Unregister(host); }
    void AfterInit(HeadlessHost& host) { dialogs_.AfterInit(host); }
    void ShowMessageBox(const MessageBoxRecord& record);
    void Log(const std::string& line);

private:
    Clock& clock_;
    MessageBoxSink sink_;
    LogSink logSink_;
    OpenDialogs<HeadlessHost> dialogs_;
};

// A message box as one line: line breaks become blanks.
std::string MessageBoxLine(const MessageBoxRecord& record);

}  // namespace ui::headless
