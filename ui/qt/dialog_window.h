#pragma once
// The top-level widget of one dialog. It passes what the user does to the
// window (Escape, the close box, the context menu) to its host; Enter is the
// QDialog's own: it presses the default button.
//
// Threads: the window thread only.

#include <QDialog>
#include <QEvent>

#include "vardoappcore/api/win_types.h"

namespace ui::qt {

class QtDialogHost;

class DialogWindow final : public QDialog {
    Q_OBJECT

public:
    DialogWindow(QtDialogHost& host, QWidget* parent, Qt::WindowFlags flags);

    // The host is going: from now on the window reports nothing.
    void Detach() { host_ = nullptr; }

    // Button 1 and 2 of a dialog are reached through its host, never
    // through QDialog's own accept and reject.
    void accept() override {}
    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QtDialogHost* host_;
};

// Receives the messages posted to a dialog from any thread and hands them to
// its host on the window thread.
class PostTarget final : public QObject {
    Q_OBJECT

public:
    explicit PostTarget(QtDialogHost& host) : host_(&host) {}
    void Detach() { host_ = nullptr; }

    // The event type that carries a posted message.
    static int EventType();

protected:
    bool event(QEvent* event) override;

private:
    QtDialogHost* host_;  // window thread only
};

// A posted message as a Qt event for a PostTarget; the event queue owns it.
QEvent* MakePostedMessage(UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace ui::qt
