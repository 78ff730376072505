#include "ui/qt/qt_application.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "ui/afx.h"
#include "ui/dialog.h"
#include "ui/qt/qt_host.h"

namespace ui::qt {

QtApplication::QtApplication(const ResourceTable& resources, std::string title, Clock& clock)
    : Application(resources, std::move(title)), clock_(clock) {
    // The process ends when its main dialog's modal loop does, not when Qt
    // sees no window left (between two dialogs there may be none).
    QApplication::setQuitOnLastWindowClosed(false);
}

QtApplication::~QtApplication() = default;

std::unique_ptr<DialogHost> QtApplication::CreateDialogHost(CDialog& dialog,
                                                            const DialogTemplate& dialogTemplate) {
    // A dialog without a parent of its own is owned by the newest open one,
    // so that the About box or a message stays above the window it was
    // opened from instead of behind it.
    QWidget* owner = nullptr;
    if (const CDialog* parent = dialog.GetParent()) {
        if (const QtDialogHost* host = HostOf(*parent)) {
            owner = host->Window();
        }
    }
    if (owner == nullptr && !dialogs_.Hosts().empty()) {
        owner = dialogs_.Hosts().back()->Window();
    }
    return std::make_unique<QtDialogHost>(*this, dialog, dialogTemplate, owner);
}

void QtApplication::SetIcon(int iconId, const QIcon& icon) {
    icons_[iconId] = icon;
}

QIcon QtApplication::Icon(int iconId) const {
    const auto it = icons_.find(iconId);
    return it == icons_.end() ? QIcon() : it->second;
}

void QtApplication::SetMessageBoxHook(MessageBoxHook hook) {
    messageBoxHook_ = std::move(hook);
}

void QtApplication::RequestClose() {
    dialogs_.RequestClose();
}

void QtApplication::AfterInit(QtDialogHost& host) {
    dialogs_.AfterInit(host);
}

void QtApplication::BeforeMessageBox(QMessageBox& box, const ShownMessageBox& shown) {
    messageBoxes_.push_back(shown);
    if (!messageBoxHook_) {
        return;
    }
    // Once the box's own loop runs, that is, while it shows.
    QTimer::singleShot(0, &box, [this, &box] {
        messageBoxHook_(box);
        if (box.isVisible()) {
            box.done(QMessageBox::Ok);
        }
    });
}

}  // namespace ui::qt
