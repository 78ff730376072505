#include "ui/headless/headless_host.h"

#include <algorithm>

#include "ui/dialog.h"
#include "ui/headless/headless_application.h"
#include "ui/safe_delivery.h"

namespace ui::headless {

HeadlessHost::HeadlessHost(HeadlessApplication& app, CDialog& dialog,
                           const DialogTemplate& dialogTemplate, Clock& clock)
    : app_(app), dialog_(dialog), template_(dialogTemplate), clock_(clock) {
    controls_.reserve(dialogTemplate.controls.size());
    for (const auto& spec : dialogTemplate.controls) {
        Control control{&spec, std::string(spec.text), true, false, nullptr};
        if (spec.kind == ControlKind::ListView) {
            control.list = std::make_unique<ListRows>();
        }
        controls_.push_back(std::move(control));
    }
}

HeadlessHost::~HeadlessHost() {
    Destroy();
}

void HeadlessHost::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    {
        std::lock_guard lock(mutex_);
        if (destroyed_) {
            return;
        }
        queue_.push_back(Message{message, wParam, lParam});
    }
    posted_.notify_one();
}

bool HeadlessHost::Create() {
    if (created_ || IsDestroyed()) {
        return false;
    }
    created_ = true;
    app_.Register(*this);
    Send(WM_INITDIALOG);
    app_.AfterInit(*this);
    return true;
}

INT_PTR HeadlessHost::RunModalLoop() {
    while (!ended_ && !IsDestroyed()) {
        RunUntilIdle();
        if (ended_) {
            break;
        }
        std::unique_lock lock(mutex_);
        const auto due = NextTimerDue();
        if (due) {
            posted_.wait_for(lock, *due - clock_.SteadyNow(), [this] { return !queue_.empty(); });
        } else {
            posted_.wait(lock, [this] { return !queue_.empty(); });
        }
    }
    return result_;
}

void HeadlessHost::EndModal(INT_PTR result) {
    ended_ = true;
    result_ = result;
}

void HeadlessHost::Destroy() {
    {
        std::lock_guard lock(mutex_);
        if (destroyed_) {
            return;
        }
        destroyed_ = true;
        queue_.clear();
    }
    timers_.clear();
    app_.Unregister(*this);
}

bool HeadlessHost::IsDestroyed() const {
    std::lock_guard lock(mutex_);
    return destroyed_;
}

HeadlessHost::Control* HeadlessHost::Find(int id) {
    if (id == kStaticId) {
        return nullptr;
    }
    for (auto& control : controls_) {
        if (control.spec->id == id) {
            return &control;
        }
    }
    return nullptr;
}

const HeadlessHost::Control* HeadlessHost::Find(int id) const {
    return const_cast<HeadlessHost*>(this)->Find(id);
}

bool HeadlessHost::HasControl(int id) const {
    return Find(id) != nullptr;
}

void HeadlessHost::SetControlText(int id, std::string_view text) {
    if (Control* control = Find(id)) {
        control->text.assign(text);
    }
}

std::string HeadlessHost::GetControlText(int id) const {
    const Control* control = Find(id);
    return control ? control->text : std::string();
}

void HeadlessHost::EnableControl(int id, bool enable) {
    if (Control* control = Find(id)) {
        control->enabled = enable;
    }
}

bool HeadlessHost::IsControlEnabled(int id) const {
    const Control* control = Find(id);
    return control != nullptr && control->enabled;
}

void HeadlessHost::SetChecked(int id, bool checked) {
    Control* control = Find(id);
    if (control != nullptr && control->spec->kind == ControlKind::CheckBox) {
        control->checked = checked;
    }
}

bool HeadlessHost::IsChecked(int id) const {
    const Control* control = Find(id);
    return control != nullptr && control->checked;
}

ListControl* HeadlessHost::GetList(int id) {
    Control* control = Find(id);
    return control ? control->list.get() : nullptr;
}

const ListRows* HeadlessHost::List(int id) const {
    const Control* control = Find(id);
    return control ? control->list.get() : nullptr;
}

SystemMenu* HeadlessHost::GetSystemMenu() {
    if ((template_.style & ds::kSystemMenu) == 0) {
        return nullptr;
    }
    return this;
}

bool HeadlessHost::AppendItem(unsigned flags, std::uintptr_t commandId, std::string_view text) {
    if ((flags & MF_SEPARATOR) != 0) {
        menuItems_.push_back(MenuItem{flags, 0, std::string()});
    } else {
        menuItems_.push_back(MenuItem{flags, commandId, std::string(text)});
    }
    return true;
}

void HeadlessHost::SetIcon(int iconId, bool big) {
    (big ? bigIcon_ : smallIcon_) = iconId;
}

void HeadlessHost::SetTimer(UINT_PTR id, std::chrono::milliseconds period) {
    if (IsDestroyed()) {
        return;
    }
    timers_[id] = Timer{period, clock_.SteadyNow() + period};
}

bool HeadlessHost::KillTimer(UINT_PTR id) {
    return timers_.erase(id) != 0;
}

int HeadlessHost::MessageBox(std::string_view text, std::string_view caption, UINT type) {
    MessageBoxRecord record{std::string(text), std::string(caption), type};
    messageBoxes_.push_back(record);
    app_.ShowMessageBox(record);
    return IDOK;
}

LRESULT HeadlessHost::Send(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!created_ || IsDestroyed()) {
        return 0;
    }
    return DeliverSafely(dialog_, message, wParam, lParam,
                         [this](const std::string& line) { app_.Log(line); });
}

bool HeadlessHost::Click(const Control& control) {
    Send(WM_COMMAND, MAKEWPARAM(static_cast<WORD>(control.spec->id), BN_CLICKED), 0);
    return true;
}

bool HeadlessHost::PressButton(int id) {
    Control* control = Find(id);
    if (!Usable() || control == nullptr || !control->enabled) {
        return false;
    }
    switch (control->spec->kind) {
        case ControlKind::PushButton:
            return Click(*control);
        case ControlKind::CheckBox:
            if ((control->spec->style & cs::kAutoCheck) != 0) {
                control->checked = !control->checked;
            }
            return Click(*control);
        default:
            return false;
    }
}

bool HeadlessHost::PressKey(Key key) {
    if (!Usable()) {
        return false;
    }
    if (key == Key::Enter) {
        const ControlTemplate* defaultButton = template_.DefaultButton();
        if (defaultButton == nullptr) {
            Send(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            return true;
        }
        return PressButton(defaultButton->id);
    }
    // Escape means button 2, unless a button 2 exists and is disabled.
    const Control* cancel = Find(IDCANCEL);
    if (cancel != nullptr && !cancel->enabled) {
        return false;
    }
    Send(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return true;
}

bool HeadlessHost::TypeText(int id, std::string_view text) {
    Control* control = Find(id);
    if (!Usable() || control == nullptr || !control->enabled ||
        control->spec->kind != ControlKind::Edit) {
        return false;
    }
    if ((control->spec->style & cs::kDigitsOnly) == 0) {
        control->text.assign(text);
        return true;
    }
    std::string accepted;
    std::copy_if(text.begin(), text.end(), std::back_inserter(accepted),
                 [](char c) { return c >= '0' && c <= '9'; });
    const bool all = accepted.size() == text.size();
    control->text = std::move(accepted);
    return all;
}

bool HeadlessHost::ClickCloseBox() {
    if (!Usable() || (template_.style & ds::kSystemMenu) == 0) {
        return false;
    }
    Send(WM_SYSCOMMAND, SC_CLOSE, 0);
    return true;
}

bool HeadlessHost::ChooseSystemCommand(UINT commandId) {
    if (!Usable()) {
        return false;
    }
    const bool known = std::any_of(menuItems_.begin(), menuItems_.end(), [&](const MenuItem& item) {
        return (item.flags & MF_SEPARATOR) == 0 && item.commandId == commandId;
    });
    if (!known && (commandId & 0xFFF0) != SC_CLOSE) {
        return false;
    }
    Send(WM_SYSCOMMAND, commandId, 0);
    return true;
}

std::optional<HeadlessHost::Message> HeadlessHost::PopMessage() {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) {
        return std::nullopt;
    }
    Message message = queue_.front();
    queue_.pop_front();
    return message;
}

bool HeadlessHost::FireDueTimer() {
    const auto now = clock_.SteadyNow();
    auto due = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.due <= now && (due == timers_.end() || it->second.due < due->second.due)) {
            due = it;
        }
    }
    if (due == timers_.end()) {
        return false;
    }
    const UINT_PTR id = due->first;
    Timer& timer = due->second;
    // Missed periods fold into one tick, as they do on a busy window.
    timer.due += timer.period;
    if (timer.due <= now) {
        timer.due = now + timer.period;
    }
    Send(WM_TIMER, id, 0);
    return true;
}

std::size_t HeadlessHost::RunUntilIdle() {
    std::size_t delivered = 0;
    while (created_ && !ended_ && !IsDestroyed()) {
        if (auto message = PopMessage()) {
            Send(message->message, message->wParam, message->lParam);
            ++delivered;
            continue;
        }
        if (!FireDueTimer()) {
            break;
        }
        ++delivered;
    }
    return delivered;
}

std::optional<std::chrono::steady_clock::time_point> HeadlessHost::NextTimerDue() const {
    std::optional<std::chrono::steady_clock::time_point> next;
    for (const auto& [id, timer] : timers_) {
        if (!next || timer.due < *next) {
            next = timer.due;
        }
    }
    return next;
}

std::size_t HeadlessHost::PendingMessages() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::string HeadlessHost::ShownText(int id) const {
    const Control* control = Find(id);
    if (control == nullptr) {
        return {};
    }
    if ((control->spec->style & cs::kPassword) == 0) {
        return control->text;
    }
    // One mask character per code point, not per byte.
    const auto codePoints = std::count_if(control->text.begin(), control->text.end(),
                                          [](char c) { return (c & 0xC0) != 0x80; });
    return std::string(static_cast<std::size_t>(codePoints), '*');
}

std::vector<UINT_PTR> HeadlessHost::Timers() const {
    std::vector<UINT_PTR> ids;
    for (const auto& [id, timer] : timers_) {
        ids.push_back(id);
    }
    return ids;
}

std::optional<std::chrono::milliseconds> HeadlessHost::TimerPeriod(UINT_PTR id) const {
    const auto it = timers_.find(id);
    if (it == timers_.end()) {
        return std::nullopt;
    }
    return it->second.period;
}

HeadlessHost* HostOf(const CDialog& dialog) {
    return dynamic_cast<HeadlessHost*>(dialog.GetHost());
}

}  // namespace ui::headless
