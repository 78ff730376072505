#pragma once
// The seam between the dialog logic (CDialog and what derives from it) and a
// window host. A host builds the controls of one dialog from its template,
// keeps their state, delivers posted messages and timers on the window
// thread and shows message boxes. The headless host (ui/headless/) keeps all
// of it in memory; a widget host shows it. The dialog never knows which.
//
// Threads: PostMessage may be called from any thread; everything else only
// from the window thread, the thread that created the host.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ui/clock.h"
#include "ui/dialog_template.h"
#include "ui/list_control.h"
#include "vardoappcore/api/win_types.h"

class CDialog;

namespace ui {

class DialogHost : public vardo::MessageTarget {
public:
    virtual ~DialogHost() = default;

    // Builds the window and its controls and sends WM_INITDIALOG. False when
    // the window cannot be made.
    virtual bool Create() = 0;
    // Delivers messages and timers until EndModal; gives EndModal's result.
    virtual INT_PTR RunModalLoop() = 0;
    // Ends the modal loop once the current handler returns.
    virtual void EndModal(INT_PTR result) = 0;
    // Tears the window down: timers end, later posts are dropped.
    virtual void Destroy() = 0;

    // Controls by id. Unknown ids are ignored (setters) or give empty/false.
    virtual bool HasControl(int id) const = 0;
    virtual void SetControlText(int id, std::string_view text) = 0;
    virtual std::string GetControlText(int id) const = 0;
    virtual void EnableControl(int id, bool enable) = 0;
    virtual bool IsControlEnabled(int id) const = 0;
    virtual void SetChecked(int id, bool checked) = 0;
    virtual bool IsChecked(int id) const = 0;
    // The list control with this id, or null.
    virtual ListControl* GetList(int id) = 0;

    // Null when the window has no system menu.
    virtual SystemMenu* GetSystemMenu() = 0;
    virtual void SetIcon(int iconId, bool big) = 0;

    // (Re)starts timer `id`; each period one WM_TIMER with wParam = id.
    virtual void SetTimer(UINT_PTR id, std::chrono::milliseconds period) = 0;
    virtual bool KillTimer(UINT_PTR id) = 0;

    // A modal message box with one OK button; the button pressed (IDOK).
    virtual int MessageBox(std::string_view text, std::string_view caption, UINT type) = 0;

    virtual Clock& GetClock() = 0;
};

// The application object: chosen once by main (headless or widgets), it makes
// the host of every dialog that opens and carries the program's resources.
class Application {
public:
    Application(const ResourceTable& resources, std::string title);
    virtual ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // The application object of this process, or null.
    static Application* Instance();

    const ResourceTable& Resources() const { return resources_; }
    // Caption of message boxes.
    const std::string& Title() const { return title_; }

    virtual std::unique_ptr<DialogHost> CreateDialogHost(CDialog& dialog,
                                                         const DialogTemplate& dialogTemplate) = 0;

private:
    const ResourceTable& resources_;
    std::string title_;
};

}  // namespace ui
