#include "ui/qt/dialog_window.h"

#include <QCloseEvent>
#include <QContextMenuEvent>

#include "ui/qt/qt_host.h"

namespace ui::qt {

namespace {

class PostedMessage final : public QEvent {
public:
    PostedMessage(UINT message, WPARAM wParam, LPARAM lParam)
        : QEvent(static_cast<QEvent::Type>(PostTarget::EventType())),
          message_(message),
          wParam_(wParam),
          lParam_(lParam) {}

    UINT message_;
    WPARAM wParam_;
    LPARAM lParam_;
};

}  // namespace

DialogWindow::DialogWindow(QtDialogHost& host, QWidget* parent, Qt::WindowFlags flags)
    : QDialog(parent, flags), host_(&host) {}

void DialogWindow::reject() {
    if (host_ != nullptr) {
        host_->EscapePressed();
    }
}

void DialogWindow::closeEvent(QCloseEvent* event) {
    // The window closes when the dialog ends, never by itself.
    event->ignore();
    if (host_ != nullptr) {
        host_->CloseBoxClicked();
    }
}

void DialogWindow::contextMenuEvent(QContextMenuEvent* event) {
    if (host_ != nullptr) {
        host_->ShowContextMenu(event->globalPos());
    }
}

int PostTarget::EventType() {
    static const int type = QEvent::registerEventType();
    return type;
}

bool PostTarget::event(QEvent* event) {
    if (event->type() != EventType()) {
        return QObject::event(event);
    }
    if (host_ != nullptr) {
        const auto* posted = static_cast<const PostedMessage*>(event);
        host_->DeliverPosted(posted->message_, posted->wParam_, posted->lParam_);
    }
    return true;
}

QEvent* MakePostedMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return new PostedMessage(message, wParam, lParam);
}

}  // namespace ui::qt
