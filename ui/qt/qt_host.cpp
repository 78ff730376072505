#include "ui/qt/qt_host.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <cstdio>

#include "ui/dialog.h"
#include "ui/qt/dialog_window.h"
#include "ui/qt/qt_application.h"
#include "ui/qt/report_view.h"
#include "ui/safe_delivery.h"

namespace ui::qt {

namespace {

// The size an icon control is drawn with, whatever the template says: the
// program's icon is drawn at the size it was made for, not scaled to a
// rectangle in dialog units.
constexpr int kIconSize = 32;

constexpr UINT kIconMask = 0xF0;
constexpr UINT kIconHand = 0x10;
constexpr UINT kIconQuestion = 0x20;
constexpr UINT kIconAsterisk = 0x40;

QString FromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A label's text as drawn: "&x" marks a mnemonic (shown without the '&'),
// "&&" is one '&'; kNoPrefix shows the text as it stands.
QString LabelText(std::string_view text, std::uint32_t style) {
    QString shown = FromView(text);
    if ((style & cs::kNoPrefix) != 0) {
        return shown;
    }
    QString out;
    out.reserve(shown.size());
    for (qsizetype i = 0; i < shown.size(); ++i) {
        if (shown[i] != u'&') {
            out.append(shown[i]);
        } else if (i + 1 < shown.size()) {
            // "&&" is one '&', "&x" is x; a '&' at the end shows nothing.
            out.append(shown[++i]);
        }
    }
    return out;
}

QMessageBox::Icon MessageBoxIcon(UINT type) {
    switch (type & kIconMask) {
        case kIconHand:
            return QMessageBox::Critical;
        case kIconQuestion:
            return QMessageBox::Question;
        case kIconAsterisk:
            return QMessageBox::Information;
        default:
            // An OK box without an icon of its own gets the exclamation mark:
            // the boxes this program shows report problems, and a bare box
            // would read as mere information.
            return QMessageBox::Warning;
    }
}

Qt::WindowFlags WindowFlagsOf(std::uint32_t style, bool owned) {
    Qt::WindowFlags flags = owned ? Qt::Dialog : Qt::Window;
    flags |= Qt::CustomizeWindowHint;
    if ((style & ds::kCaption) != 0) {
        flags |= Qt::WindowTitleHint;
    }
    if ((style & ds::kSystemMenu) != 0) {
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    }
    if ((style & ds::kMinimizeBox) != 0) {
        flags |= Qt::WindowMinimizeButtonHint;
    }
    // A modal frame is a fixed size, without a maximise box.
    return flags;
}

}  // namespace

QtDialogHost::QtDialogHost(QtApplication& app, CDialog& dialog,
                           const DialogTemplate& dialogTemplate, QWidget* owner)
    : app_(app), dialog_(dialog), template_(dialogTemplate), owner_(owner) {}

QtDialogHost::~QtDialogHost() {
    Destroy();
}

void QtDialogHost::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard lock(postMutex_);
    if (postTarget_ == nullptr) {
        return;
    }
    QCoreApplication::postEvent(postTarget_, MakePostedMessage(message, wParam, lParam));
}

bool QtDialogHost::Live() const {
    return created_ && !destroyed_;
}

bool QtDialogHost::Create() {
    if (created_ || destroyed_) {
        return false;
    }
    // An application window stands on its own (it has a taskbar entry);
    // other dialogs belong to their owner.
    const bool appWindow = (template_.style & ds::kAppWindow) != 0;
    QWidget* parent = appWindow ? nullptr : owner_.data();
    window_ = std::make_unique<DialogWindow>(*this, parent,
                                             WindowFlagsOf(template_.style, parent != nullptr));
    context_ = std::make_unique<QObject>();
    window_->setWindowTitle(FromView(template_.caption));
    font_ = DialogFont(template_);
    window_->setFont(font_);
    units_ = BaseUnitsOf(font_);
    window_->setFixedSize(ToPixels(template_.rect.width, template_.rect.height, units_));

    controls_.reserve(template_.controls.size());
    for (const ControlTemplate& spec : template_.controls) {
        controls_.push_back(ControlEntry{&spec, MakeControl(spec), true, std::string(spec.text)});
    }
    SetTabOrder();
    {
        std::lock_guard lock(postMutex_);
        postTarget_ = new PostTarget(*this);
    }
    created_ = true;
    app_.Register(*this);

    const LRESULT setFocus = Send(WM_INITDIALOG);
    if (!Live()) {
        return true;
    }
    if (setFocus != 0) {
        FocusFirstTabStop();
    }
    app_.AfterInit(*this);
    if (Live() && !ended_ && (template_.style & ds::kVisible) != 0) {
        window_->show();
    }
    return true;
}

QWidget* QtDialogHost::MakeControl(const ControlTemplate& spec) {
    QWidget* widget = nullptr;
    const int id = spec.id;
    switch (spec.kind) {
        case ControlKind::PushButton: {
            auto* button = new QPushButton(FromView(spec.text), window_.get());
            button->setAutoDefault(true);
            button->setDefault((spec.style & cs::kDefaultButton) != 0);
            QObject::connect(button, &QPushButton::clicked, context_.get(),
                             [this, id] { ButtonClicked(id); });
            widget = button;
            break;
        }
        case ControlKind::CheckBox: {
            auto* box = new QCheckBox(FromView(spec.text), window_.get());
            const bool autoCheck = (spec.style & cs::kAutoCheck) != 0;
            QObject::connect(box, &QCheckBox::clicked, context_.get(),
                             [this, id, box, autoCheck](bool checked) {
                                 // A plain check box only reports the click;
                                 // its owner decides the state.
                                 if (!autoCheck) {
                                     box->setChecked(!checked);
                                 }
                                 ButtonClicked(id);
                             });
            widget = box;
            break;
        }
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(FromView(spec.text), window_.get());
            edit->setFrame((spec.style & cs::kBorder) != 0);
            if ((spec.style & cs::kPassword) != 0) {
                edit->setEchoMode(QLineEdit::Password);
            }
            if ((spec.style & cs::kDigitsOnly) != 0) {
                edit->setValidator(new QRegularExpressionValidator(
                    QRegularExpression(QStringLiteral("[0-9]*")), edit));
            }
            widget = edit;
            break;
        }
        case ControlKind::Label: {
            auto* label = new QLabel(window_.get());
            label->setTextFormat(Qt::PlainText);
            label->setText(LabelText(spec.text, spec.style));
            label->setAlignment(
                ((spec.style & cs::kCenter) != 0 ? Qt::AlignHCenter : Qt::AlignLeft) |
                Qt::AlignTop);
            widget = label;
            break;
        }
        case ControlKind::ListView: {
            auto* view = new ReportView(window_.get());
            if ((spec.style & cs::kBorder) == 0) {
                view->setFrameShape(QFrame::NoFrame);
            }
            widget = view;
            break;
        }
        case ControlKind::Icon: {
            auto* label = new QLabel(window_.get());
            label->setPixmap(app_.Icon(spec.iconId).pixmap(kIconSize, kIconSize));
            const QRect at = ToPixels(spec.rect, units_);
            label->setGeometry(at.x(), at.y(), kIconSize, kIconSize);
            label->setFocusPolicy(Qt::NoFocus);
            return label;
        }
    }
    widget->setGeometry(ToPixels(spec.rect, units_));
    if ((spec.style & cs::kTabStop) != 0) {
        widget->setFocusPolicy(Qt::StrongFocus);
    } else if (spec.kind == ControlKind::Label) {
        widget->setFocusPolicy(Qt::NoFocus);
    } else {
        widget->setFocusPolicy(Qt::ClickFocus);
    }
    return widget;
}

void QtDialogHost::SetTabOrder() {
    QWidget* previous = nullptr;
    for (const ControlEntry& control : controls_) {
        if ((control.widget->focusPolicy() & Qt::TabFocus) == 0) {
            continue;
        }
        if (previous != nullptr) {
            QWidget::setTabOrder(previous, control.widget);
        }
        previous = control.widget;
    }
}

void QtDialogHost::FocusFirstTabStop() {
    for (const ControlEntry& control : controls_) {
        if ((control.widget->focusPolicy() & Qt::TabFocus) != 0 && control.enabled) {
            control.widget->setFocus(Qt::TabFocusReason);
            return;
        }
    }
}

INT_PTR QtDialogHost::RunModalLoop() {
    if (!Live()) {
        return -1;
    }
    if (!ended_ && !window_->isVisible()) {
        window_->setWindowModality(Qt::ApplicationModal);
        window_->show();
    }
    while (!ended_ && Live()) {
        QEventLoop loop;
        loop_ = &loop;
        loop.exec(QEventLoop::DialogExec);
        loop_ = nullptr;
        if (!ended_ && Live()) {
            // The loop ended without the dialog (the application is quitting):
            // close as the close box would, and end in any case.
            Send(WM_SYSCOMMAND, SC_CLOSE, 0);
            if (!ended_) {
                EndModal(IDCANCEL);
            }
        }
    }
    return result_;
}

void QtDialogHost::EndModal(INT_PTR result) {
    ended_ = true;
    result_ = result;
    HideWindow();
    if (loop_ != nullptr) {
        loop_->exit(0);
    }
}

void QtDialogHost::Destroy() {
    {
        std::lock_guard lock(postMutex_);
        if (postTarget_ != nullptr) {
            // Deleting the target also drops the messages still queued for it.
            postTarget_->Detach();
            if (depth_ > 0) {
                postTarget_->deleteLater();
            } else {
                delete postTarget_;
            }
            postTarget_ = nullptr;
        }
    }
    if (destroyed_) {
        return;
    }
    destroyed_ = true;
    if (loop_ != nullptr) {
        loop_->exit(0);
    }
    if (!created_) {
        return;
    }
    app_.Unregister(*this);
    // Nothing the window still does reaches this host any more.
    context_.reset();
    for (auto& [id, timer] : timers_) {
        timer->stop();
    }
    timers_.clear();
    commands_.clear();
    contextMenu_ = nullptr;
    controls_.clear();
    if (window_) {
        window_->Detach();
        HideWindow();
        if (depth_ > 0) {
            window_.release()->deleteLater();
        } else {
            window_.reset();
        }
    }
}

void QtDialogHost::HideWindow() {
    if (!window_ || !window_->isVisible()) {
        return;
    }
    // As a dialog ends, its owner becomes the active window again.
    window_->hide();
    if (owner_ && owner_->isVisible()) {
        owner_->activateWindow();
    }
}

LRESULT QtDialogHost::Send(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!Live()) {
        return 0;
    }
    ++depth_;
    const LRESULT result =
        DeliverSafely(dialog_, message, wParam, lParam, [this](const std::string& line) {
            std::fprintf(stderr, "%s: %s\n", app_.Title().c_str(), line.c_str());
        });
    --depth_;
    return result;
}

void QtDialogHost::DeliverPosted(UINT message, WPARAM wParam, LPARAM lParam) {
    Send(message, wParam, lParam);
}

void QtDialogHost::ButtonClicked(int id) {
    Send(WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED), 0);
}

void QtDialogHost::EscapePressed() {
    // Escape means button 2, unless a button 2 exists and is disabled.
    const ControlEntry* cancel = Find(IDCANCEL);
    if (cancel != nullptr && !cancel->enabled) {
        return;
    }
    Send(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

void QtDialogHost::CloseBoxClicked() {
    if ((template_.style & ds::kSystemMenu) == 0) {
        return;
    }
    Send(WM_SYSCOMMAND, SC_CLOSE, 0);
}

void QtDialogHost::ShowContextMenu(const QPoint& globalPos) {
    if (!Live() || contextMenu_ == nullptr || contextMenu_->isEmpty()) {
        return;
    }
    contextMenu_->exec(globalPos);
}

const QtDialogHost::ControlEntry* QtDialogHost::Find(int id) const {
    if (id == kStaticId) {
        return nullptr;
    }
    for (const ControlEntry& control : controls_) {
        if (control.spec->id == id) {
            return &control;
        }
    }
    return nullptr;
}

bool QtDialogHost::HasControl(int id) const {
    return Find(id) != nullptr;
}

void QtDialogHost::SetControlText(int id, std::string_view text) {
    auto* control = const_cast<ControlEntry*>(Find(id));
    if (control == nullptr) {
        return;
    }
    control->text.assign(text);
    switch (control->spec->kind) {
        case ControlKind::PushButton:
        case ControlKind::CheckBox:
            static_cast<QAbstractButton*>(control->widget)->setText(FromView(text));
            break;
        case ControlKind::Edit:
            static_cast<QLineEdit*>(control->widget)->setText(FromView(text));
            break;
        case ControlKind::Label:
            static_cast<QLabel*>(control->widget)->setText(LabelText(text, control->spec->style));
            break;
        case ControlKind::ListView:
        case ControlKind::Icon:
            break;
    }
}

std::string QtDialogHost::GetControlText(int id) const {
    const ControlEntry* control = Find(id);
    if (control == nullptr) {
        return {};
    }
    switch (control->spec->kind) {
        case ControlKind::PushButton:
        case ControlKind::CheckBox:
            return static_cast<const QAbstractButton*>(control->widget)->text().toStdString();
        case ControlKind::Edit:
            return static_cast<const QLineEdit*>(control->widget)->text().toStdString();
        default:
            return control->text;
    }
}

void QtDialogHost::EnableControl(int id, bool enable) {
    auto* control = const_cast<ControlEntry*>(Find(id));
    if (control != nullptr) {
        control->enabled = enable;
        control->widget->setEnabled(enable);
    }
}

bool QtDialogHost::IsControlEnabled(int id) const {
    const ControlEntry* control = Find(id);
    return control != nullptr && control->enabled;
}

void QtDialogHost::SetChecked(int id, bool checked) {
    const ControlEntry* control = Find(id);
    if (control != nullptr && control->spec->kind == ControlKind::CheckBox) {
        static_cast<QCheckBox*>(control->widget)->setChecked(checked);
    }
}

bool QtDialogHost::IsChecked(int id) const {
    const ControlEntry* control = Find(id);
    return control != nullptr && control->spec->kind == ControlKind::CheckBox &&
           static_cast<const QCheckBox*>(control->widget)->isChecked();
}

ListControl* QtDialogHost::GetList(int id) {
    return List(id);
}

ReportView* QtDialogHost::List(int id) const {
    const ControlEntry* control = Find(id);
    if (control == nullptr || control->spec->kind != ControlKind::ListView) {
        return nullptr;
    }
    return static_cast<ReportView*>(control->widget);
}

SystemMenu* QtDialogHost::GetSystemMenu() {
    if (!Live() || (template_.style & ds::kSystemMenu) == 0) {
        return nullptr;
    }
    return this;
}

bool QtDialogHost::AppendItem(unsigned flags, std::uintptr_t commandId, std::string_view text) {
    if (!Live()) {
        return false;
    }
    if (contextMenu_ == nullptr) {
        contextMenu_ = new QMenu(window_.get());
    }
    if ((flags & MF_SEPARATOR) != 0) {
        contextMenu_->addSeparator();
        return true;
    }
    QAction* action = contextMenu_->addAction(FromView(text));
    // The item's mnemonic works on the whole window too, as Alt+letter.
    const QKeySequence shortcut = QKeySequence::mnemonic(action->text());
    if (!shortcut.isEmpty()) {
        action->setShortcut(shortcut);
        action->setShortcutContext(Qt::WindowShortcut);
        window_->addAction(action);
    }
    const auto command = static_cast<UINT>(commandId);
    QObject::connect(action, &QAction::triggered, context_.get(),
                     [this, command] { Send(WM_SYSCOMMAND, command, 0); });
    commands_[command] = action;
    return true;
}

void QtDialogHost::SetIcon(int iconId, bool big) {
    (big ? bigIcon_ : smallIcon_) = iconId;
    if (window_) {
        window_->setWindowIcon(app_.Icon(iconId));
    }
}

void QtDialogHost::SetTimer(UINT_PTR id, std::chrono::milliseconds period) {
    if (!Live()) {
        return;
    }
    QTimer*& timer = timers_[id];
    if (timer == nullptr) {
        timer = new QTimer(window_.get());
        QObject::connect(timer, &QTimer::timeout, context_.get(),
                         [this, id] { Send(WM_TIMER, id, 0); });
    }
    timer->start(period);
}

bool QtDialogHost::KillTimer(UINT_PTR id) {
    // Only stopped: the timer may be the one whose tick is being handled.
    const auto it = timers_.find(id);
    if (it == timers_.end() || !it->second->isActive()) {
        return false;
    }
    it->second->stop();
    return true;
}

int QtDialogHost::MessageBox(std::string_view text, std::string_view caption, UINT type) {
    QMessageBox box(MessageBoxIcon(type), FromView(caption), FromView(text), QMessageBox::Ok,
                    window_.get());
    // Text from a field or a peer is shown as it stands, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Ok);
    app_.BeforeMessageBox(box, ShownMessageBox{std::string(text), std::string(caption), type});
    box.exec();
    return IDOK;
}

Clock& QtDialogHost::GetClock() {
    return app_.GetClock();
}

QWidget* QtDialogHost::Window() const {
    return window_.get();
}

QWidget* QtDialogHost::Control(int id) const {
    const ControlEntry* control = Find(id);
    return control ? control->widget : nullptr;
}

QWidget* QtDialogHost::ControlAt(std::size_t index) const {
    return index < controls_.size() ? controls_[index].widget : nullptr;
}

QMenu* QtDialogHost::ContextMenu() const {
    return contextMenu_;
}

QAction* QtDialogHost::SystemCommand(UINT commandId) const {
    const auto it = commands_.find(commandId);
    return it == commands_.end() ? nullptr : it->second;
}

QTimer* QtDialogHost::Timer(UINT_PTR id) const {
    const auto it = timers_.find(id);
    return it == timers_.end() ? nullptr : it->second;
}

QtDialogHost* HostOf(const CDialog& dialog) {
    return dynamic_cast<QtDialogHost*>(dialog.GetHost());
}

}  // namespace ui::qt
