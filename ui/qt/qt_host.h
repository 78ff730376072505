#pragma once
// The widget host of one dialog: its template as Qt widgets, placed in
// dialog units converted with the dialog font; posted messages through Qt's
// event queue; timers as QTimers; message boxes as QMessageBox; the window's
// context menu in the place of the system menu.
//
// Threads: PostMessage from any thread; everything else on the window thread
// (the thread of the QApplication).

#include <QObject>
#include <QPointer>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ui/afx.h"
#include "ui/dialog_host.h"
#include "ui/qt/dialog_metrics.h"

class QAction;
class QEventLoop;
class QMenu;
class QPoint;
class QTimer;
class QWidget;

namespace ui::qt {

class DialogWindow;
class PostTarget;
class QtApplication;
class ReportView;

class QtDialogHost final : public DialogHost, private SystemMenu {
public:
    QtDialogHost(QtApplication& app, CDialog& dialog, const DialogTemplate& dialogTemplate,
                 QWidget* owner);
    ~QtDialogHost() override;
    QtDialogHost(const QtDialogHost&) = delete;
    QtDialogHost& operator=(const QtDialogHost&) = delete;

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
    Clock& GetClock() override;

    // What the window shows, for the application, tests and screenshots.
    const DialogTemplate& Template() const { return template_; }
    BaseUnits Units() const { return units_; }
    // Null once the window is destroyed.
    QWidget* Window() const;
    // The widget of the control with this id, or of the template's index'th
    // control (labels and icons included); null when there is none.
    QWidget* Control(int id) const;
    QWidget* ControlAt(std::size_t index) const;
    ReportView* List(int id) const;
    // The window's context menu, which stands in for the system menu, and the
    // action of one of its commands (null when the dialog added none).
    QMenu* ContextMenu() const;
    QAction* SystemCommand(UINT commandId) const;
    // The timer with this id, or null; a killed timer is kept but stopped.
    QTimer* Timer(UINT_PTR id) const;
    int Icon(bool big) const { return big ? bigIcon_ : smallIcon_; }
    bool IsCreated() const { return created_; }
    bool IsEnded() const { return ended_; }
    INT_PTR Result() const { return result_; }

    // From the window, on the window thread.
    void ButtonClicked(int id);
    void EscapePressed();
    void CloseBoxClicked();
    void ShowContextMenu(const QPoint& globalPos);
    void DeliverPosted(UINT message, WPARAM wParam, LPARAM lParam);

private:
    struct ControlEntry {
        const ControlTemplate* spec;
        QWidget* widget;  // owned by the window
        bool enabled = true;
        std::string text;  // as set, for controls that show it changed
    };

    // SystemMenu
    bool AppendItem(unsigned flags, std::uintptr_t commandId, std::string_view text) override;

    LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    bool Live() const;
    const ControlEntry* Find(int id) const;
    QWidget* MakeControl(const ControlTemplate& spec);
    void SetTabOrder();
    void FocusFirstTabStop();
    void HideWindow();

    QtApplication& app_;
    CDialog& dialog_;
    const DialogTemplate& template_;
    QPointer<QWidget> owner_;

    // Window thread only.
    std::unique_ptr<DialogWindow> window_;
    // The context of every connection from the window's widgets to this
    // host: deleting it cuts them all at once.
    std::unique_ptr<QObject> context_;
    QFont font_;
    BaseUnits units_;
    std::vector<ControlEntry> controls_;
    QMenu* contextMenu_ = nullptr;        // owned by the window, made on first use
    std::map<UINT_PTR, QTimer*> timers_;  // owned by the window
    std::map<UINT_PTR, QAction*> commands_;
    QEventLoop* loop_ = nullptr;  // the running modal loop
    int bigIcon_ = 0;
    int smallIcon_ = 0;
    int depth_ = 0;  // handlers of this dialog on the stack
    bool created_ = false;
    bool ended_ = false;
    bool destroyed_ = false;
    INT_PTR result_ = 0;

    // Shared with posting threads: the target is null once destroyed.
    mutable std::mutex postMutex_;
    PostTarget* postTarget_ = nullptr;
};

// The Qt host of a dialog's open window, or null.
QtDialogHost* HostOf(const CDialog& dialog);

}  // namespace ui::qt
