#pragma once
// CDialog: the base of every dialog. The dialog logic talks to its controls
// by id, posts messages to itself, runs timers and shows message boxes; the
// window host that the application object made for it does the rest.
//
// Messages reach the dialog through WindowProc, its message map: buttons 1
// and 2 (and Enter and Escape) arrive as WM_COMMAND and go to OnOK and
// OnCancel; the close box arrives as WM_SYSCOMMAND SC_CLOSE, becomes WM_CLOSE
// and ends in OnCancel as well.
//
// Threads: only PostMessage (and the HWND it stands behind) may be used from
// another thread. Everything else belongs to the window thread.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ui/afx.h"
#include "ui/clock.h"
#include "ui/dialog_host.h"
#include "ui/list_ctrl.h"

class CDialog;

class CDataExchange {
public:
    CDataExchange(CDialog* pDlgWnd, BOOL bSaveAndValidate)
        : m_pDlgWnd(pDlgWnd), m_bSaveAndValidate(bSaveAndValidate) {}

    CDialog* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

// Attaches a list control of the dialog's window to `rControl`.
void DDX_Control(CDataExchange* pDX, int nIDC, CListCtrl& rControl);

// A control of the dialog, addressed by id. A control that does not exist
// takes every call and does nothing.
class CDlgItem {
public:
    CDlgItem(ui::DialogHost* host, int id) : m_pHost(host), m_nID(id) {}

    bool Exists() const { return m_pHost != nullptr && m_pHost->HasControl(m_nID); }
    // Nonzero when the control was disabled before the call.
    BOOL EnableWindow(BOOL bEnable = TRUE);
    BOOL IsWindowEnabled() const;
    void SetWindowText(std::string_view text);
    std::string GetWindowText() const;

private:
    ui::DialogHost* m_pHost;
    int m_nID;
};

// The window's system menu.
class CMenu {
public:
    explicit CMenu(ui::SystemMenu* menu) : m_pMenu(menu) {}
    BOOL AppendMenu(UINT nFlags, UINT_PTR nIDNewItem = 0, std::string_view lpszNewItem = {});

private:
    ui::SystemMenu* m_pMenu;
};

class CDialog {
public:
    explicit CDialog(UINT nIDTemplate, CDialog* pParentWnd = nullptr);
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    // Opens the window, runs it until EndDialog, destroys it; gives the
    // EndDialog result, or -1 when the window could not be made.
    virtual INT_PTR DoModal();
    // Opens the window without a loop of its own: the caller (a test, or a
    // host embedding the dialog) delivers the messages.
    BOOL Create();
    // Ends the window. Overrides release what is bound to the window and
    // then call the base.
    virtual BOOL DestroyWindow();
    void EndDialog(int nResult);

    // The message map.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    // Any thread. FALSE when there is no window.
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    virtual void OnTimer(UINT_PTR nIDEvent);
    virtual void OnSysCommand(UINT nID, LPARAM lParam);
    virtual void DoDataExchange(CDataExchange* pDX);
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    // The target of posted messages; null while there is no window.
    HWND GetSafeHwnd() const;
    UINT GetTemplateId() const { return m_nIDTemplate; }
    CDialog* GetParent() const { return m_pParentWnd; }
    // The host of the open window, or null.
    ui::DialogHost* GetHost() const { return m_pHost.get(); }
    // The host's clock, or the real one while there is no window.
    ui::Clock& GetClock() const;

    void SetDlgItemText(int nID, std::string_view lpszString);
    std::string GetDlgItemText(int nID) const;
    // The field's text as a decimal number; 0 and *lpTrans = FALSE when it
    // is not one (or does not fit).
    UINT GetDlgItemInt(int nID, BOOL* lpTrans = nullptr, BOOL bSigned = TRUE) const;
    CDlgItem GetDlgItem(int nID) const { return CDlgItem(m_pHost.get(), nID); }
    void CheckDlgButton(int nIDButton, UINT nCheck);
    UINT IsDlgButtonChecked(int nIDButton) const;

    // An OK message box with the application's title unless one is given.
    int MessageBox(std::string_view lpszText, std::string_view lpszCaption = {},
                   UINT nType = MB_OK);
    // Timer `nIDEvent` every nElapse ms (at least 10). Returns nIDEvent, or 0
    // without a window. Timer callbacks are not offered: ticks come as
    // WM_TIMER to OnTimer.
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, void* lpfnTimer = nullptr);
    BOOL KillTimer(UINT_PTR nIDEvent);
    // Null when the window has no system menu.
    CMenu* GetSystemMenu(BOOL bRevert);
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);

private:
    UINT m_nIDTemplate;
    CDialog* m_pParentWnd;
    std::unique_ptr<ui::DialogHost> m_pHost;
    std::unique_ptr<CMenu> m_pSysMenu;
    std::vector<CListCtrl*> m_attachedLists;
    HICON m_hBigIcon = 0;
    HICON m_hSmallIcon = 0;

    bool MakeHost();
    void ReleaseHost();
    friend void DDX_Control(CDataExchange*, int, CListCtrl&);
};

namespace ui {

// String resource `id` of the application, or empty.
std::string LoadString(UINT id);
// Parses a dialog field as GetDlgItemInt does: optional blanks around, a
// minus sign only when signed, decimal digits, within range.
bool ParseDlgItemInt(std::string_view text, bool isSigned, UINT* value);

}  // namespace ui
