#pragma once
// The application object of a run with windows: every dialog that opens gets
// a QtDialogHost. It needs the process's QApplication, made by the caller
// before it, and keeps the program's icons (resources of the executable, by
// icon id) and the message boxes shown so far.
//
// Threads: RequestClose from any thread; everything else on the window
// thread.

#include <QIcon>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/clock.h"
#include "ui/dialog_host.h"
#include "ui/open_dialogs.h"
#include "vardoappcore/api/win_types.h"

class QMessageBox;

namespace ui::qt {

class QtDialogHost;

struct ShownMessageBox {
    std::string text;
    std::string caption;
    UINT type = 0;
};

class QtApplication final : public Application {
public:
    // Runs while a message box shows, inside its loop; a box still open when
    // it returns is closed with OK. For tests, which have no operator.
    using MessageBoxHook = std::function<void(QMessageBox&)>;
    // Runs when a dialog has been initialised, before it shows and before
    // its modal loop.
    using InitHook = std::function<void(QtDialogHost&)>;

    QtApplication(const ResourceTable& resources, std::string title, Clock& clock = DefaultClock());
    ~QtApplication() override;

    std::unique_ptr<DialogHost> CreateDialogHost(CDialog& dialog,
                                                 const DialogTemplate& dialogTemplate) override;

    // The icon drawn for icon resource `iconId`; an empty icon when unknown.
    void SetIcon(int iconId, const QIcon& icon);
    QIcon Icon(int iconId) const;

    void SetMessageBoxHook(MessageBoxHook hook);
    void SetInitHook(InitHook hook) { dialogs_.SetInitHook(std::move(hook)); }
    const std::vector<ShownMessageBox>& MessageBoxes() const { return messageBoxes_; }
    Clock& GetClock() { return clock_; }

    // The open dialogs, oldest first.
    const std::vector<QtDialogHost*>& Hosts() const { return dialogs_.Hosts(); }

    // Any thread: asks every open dialog, and every dialog opened later, to
    // close as its close box would.
    void RequestClose();
    bool CloseRequested() const { return dialogs_.CloseRequested(); }

    // For the hosts.
    void Register(QtDialogHost& host) { dialogs_.Register(host); }
    void Unregister(QtDialogHost& host) { dialogs_.Unregister(host); }
    void AfterInit(QtDialogHost& host);
    void BeforeMessageBox(QMessageBox& box, const ShownMessageBox& shown);

private:
    Clock& clock_;
    std::map<int, QIcon> icons_;
    MessageBoxHook messageBoxHook_;
    std::vector<ShownMessageBox> messageBoxes_;
    OpenDialogs<QtDialogHost> dialogs_;
};

}  // namespace ui::qt
