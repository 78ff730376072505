#pragma once
// The window-less host: a dialog's controls as in-memory state, a message
// queue that any thread may post to, timers against an injectable clock and
// message boxes that are written to a sink (stderr by default) and kept.
//
// It is also the test seam: press a button, type into a field, press Enter
// or Escape, click the close box, post a message, run until idle.
//
// Threads: PostMessage from any thread; everything else on the window
// thread (the one that calls Create).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ui/afx.h"
#include "ui/dialog_host.h"
#include "ui/list_rows.h"

namespace ui::headless {

class HeadlessApplication;

struct MessageBoxRecord {
    std::string text;
    std::string caption;
    UINT type = 0;
};

struct MenuItem {
    unsigned flags = 0;
    std::uintptr_t commandId = 0;
    std::string text;
};

enum class Key { Enter, Escape };

class HeadlessHost final : public DialogHost, private SystemMenu {
public:
    HeadlessHost(HeadlessApplication& app, CDialog& dialog, const DialogTemplate& dialogTemplate,
                 Clock& clock);
    ~HeadlessHost() override;

    // DialogHost
    void PostMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool Create() override;
    INT_PTR RunModalLoop() override;
    void EndModal(INT_PTR result) override;
    void Destroy() override;
    bool HasControl(int id) const override;
    void SetControlText(int id, std::string_view text) override;
    std::string GetControlText(int id) const override;
    void EnableControl(int id, bool enable) override;
    bool IsControlEnabled(int id) const override;
    void SetChecked(int id, bool checked) override;
    bool IsChecked(int id) const override;
    ListControl* GetList(int id) override;
    SystemMenu* GetSystemMenu() override;
    void SetIcon(int iconId, bool big) override;
    void SetTimer(UINT_PTR id, std::chrono::milliseconds period) override;
    bool KillTimer(UINT_PTR id) override;
    int MessageBox(std::string_view text, std::string_view caption, UINT type) override;
    Clock& GetClock() override { return clock_; }

    // What a user does. Each acts at once, on the calling (window) thread,
    // and gives whether the window took it: a disabled or missing control
    // takes nothing.
    bool PressButton(int id);
    bool PressKey(Key key);
    // Replaces the field's text as if typed. A digits-only field refuses the
    // other characters (they are dropped, and the result is false).
    bool TypeText(int id, std::string_view text);
    bool ClickCloseBox();
    bool ChooseSystemCommand(UINT commandId);
    // Delivers a message now, as the window thread would.
    LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    // Delivers posted messages, then due timers (one tick per due timer, as
    // a real loop would when it falls behind), until nothing is left or the
    // dialog has ended. Gives the number delivered.
    std::size_t RunUntilIdle();
    // When the next timer is due, if any timer runs.
    std::optional<std::chrono::steady_clock::time_point> NextTimerDue() const;
    std::size_t PendingMessages() const;

    // What the window shows.
    bool IsCreated() const { return created_; }
    bool IsEnded() const { return ended_; }
    bool IsDestroyed() const;
    INT_PTR Result() const { return result_; }
    const DialogTemplate& Template() const { return template_; }
    std::string Text(int id) const { return GetControlText(id); }
    // The text as drawn: a password field shows one '*' per character.
    std::string ShownText(int id) const;
    const ListRows* List(int id) const;
    const std::vector<MessageBoxRecord>& MessageBoxes() const { return messageBoxes_; }
    const std::vector<MenuItem>& SystemMenuItems() const { return menuItems_; }
    std::vector<UINT_PTR> Timers() const;
    std::optional<std::chrono::milliseconds> TimerPeriod(UINT_PTR id) const;
    int Icon(bool big) const { return big ? bigIcon_ : smallIcon_; }

private:
    struct Control {
        const ControlTemplate* spec;
        std::string text;
        bool enabled = true;
        bool checked = false;
        std::unique_ptr<ListRows> list;
    };
    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    struct Timer {
        std::chrono::milliseconds period;
        std::chrono::steady_clock::time_point due;
    };

    // SystemMenu
    bool AppendItem(unsigned flags, std::uintptr_t commandId, std::string_view text) override;

    Control* Find(int id);
    const Control* Find(int id) const;
    bool Usable() const { return created_ && !ended_ && !destroyed_; }
    bool Click(const Control& control);
    std::optional<Message> PopMessage();
    bool FireDueTimer();

    HeadlessApplication& app_;
    CDialog& dialog_;
    const DialogTemplate& template_;
    Clock& clock_;

    // Window thread only.
    std::vector<Control> controls_;
    std::map<UINT_PTR, Timer> timers_;
    std::vector<MessageBoxRecord> messageBoxes_;
    std::vector<MenuItem> menuItems_;
    int bigIcon_ = 0;
    int smallIcon_ = 0;
    bool created_ = false;
    bool ended_ = false;
    INT_PTR result_ = 0;

    // Shared with posting threads.
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Message> queue_;
    bool destroyed_ = false;
};

// The headless host of a dialog's open window, or null.
HeadlessHost* HostOf(const CDialog& dialog);

}  // namespace ui::headless
