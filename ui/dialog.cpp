#include "ui/dialog.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>

namespace {

// A shorter period is raised to this: a period of 0 would spin the window
// thread, and none of our handlers gains from firing more often.
constexpr UINT kMinimumTimerMs = 10;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

void DDX_Control(CDataExchange* pDX, int nIDC, CListCtrl& rControl) {
    if (pDX == nullptr || pDX->m_pDlgWnd == nullptr) {
        return;
    }
    CDialog& dialog = *pDX->m_pDlgWnd;
    ui::ListControl* list = dialog.m_pHost ? dialog.m_pHost->GetList(nIDC) : nullptr;
    rControl.Attach(list);
    if (list != nullptr && std::find(dialog.m_attachedLists.begin(), dialog.m_attachedLists.end(),
                                     &rControl) == dialog.m_attachedLists.end()) {
        dialog.m_attachedLists.push_back(&rControl);
    }
}

BOOL CDlgItem::EnableWindow(BOOL bEnable) {
    if (!Exists()) {
        return FALSE;
    }
    const bool wasDisabled = !m_pHost->IsControlEnabled(m_nID);
    m_pHost->EnableControl(m_nID, bEnable != FALSE);
    return wasDisabled ? TRUE : FALSE;
}

BOOL CDlgItem::IsWindowEnabled() const {
    return Exists() && m_pHost->IsControlEnabled(m_nID) ? TRUE : FALSE;
}

void CDlgItem::SetWindowText(std::string_view text) {
    if (Exists()) {
        m_pHost->SetControlText(m_nID, text);
    }
}

std::string CDlgItem::GetWindowText() const {
    return Exists() ? m_pHost->GetControlText(m_nID) : std::string();
}

BOOL CMenu::AppendMenu(UINT nFlags, UINT_PTR nIDNewItem, std::string_view lpszNewItem) {
    return m_pMenu != nullptr && m_pMenu->AppendItem(nFlags, nIDNewItem, lpszNewItem) ? TRUE
                                                                                      : FALSE;
}

CDialog::CDialog(UINT nIDTemplate, CDialog* pParentWnd)
    : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog() {
    // A window still open here is torn down without the overrides of
    // DestroyWindow: those belong to a derived part that is already gone.
    ReleaseHost();
}

bool CDialog::MakeHost() {
    if (m_pHost) {
        return false;
    }
    ui::Application* app = ui::Application::Instance();
    if (app == nullptr) {
        return false;
    }
    const ui::DialogTemplate* dialogTemplate =
        app->Resources().FindDialog(static_cast<int>(m_nIDTemplate));
    if (dialogTemplate == nullptr) {
        return false;
    }
    m_pHost = app->CreateDialogHost(*this, *dialogTemplate);
    return m_pHost != nullptr;
}

void CDialog::ReleaseHost() {
    for (CListCtrl* list : m_attachedLists) {
        list->Detach();
    }
    m_attachedLists.clear();
    m_pSysMenu.reset();
    if (m_pHost) {
        m_pHost->Destroy();
        m_pHost.reset();
    }
}

INT_PTR CDialog::DoModal() {
    if (!MakeHost()) {
        return -1;
    }
    if (!m_pHost->Create()) {
        DestroyWindow();
        return -1;
    }
    const INT_PTR result = m_pHost->RunModalLoop();
    DestroyWindow();
    return result;
}

BOOL CDialog::Create() {
    if (!MakeHost()) {
        return FALSE;
    }
    if (!m_pHost->Create()) {
        DestroyWindow();
        return FALSE;
    }
    return TRUE;
}

BOOL CDialog::DestroyWindow() {
    if (!m_pHost) {
        return FALSE;
    }
    ReleaseHost();
    return TRUE;
}

void CDialog::EndDialog(int nResult) {
    if (m_pHost) {
        m_pHost->EndModal(nResult);
    }
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            return OnInitDialog();
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                if (LOWORD(wParam) == IDOK) {
                    OnOK();
                } else if (LOWORD(wParam) == IDCANCEL) {
                    OnCancel();
                }
            }
            return 0;
        case WM_SYSCOMMAND:
            OnSysCommand(static_cast<UINT>(wParam), lParam);
            return 0;
        case WM_CLOSE:
            // A dialog closes as if button 2 had been pressed.
            return SendMessage(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        case WM_TIMER:
            OnTimer(static_cast<UINT_PTR>(wParam));
            return 0;
        default:
            return 0;
    }
}

LRESULT CDialog::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return WindowProc(message, wParam, lParam);
}

BOOL CDialog::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    if (!m_pHost) {
        return FALSE;
    }
    m_pHost->PostMessage(message, wParam, lParam);
    return TRUE;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (!UpdateData(TRUE)) {
        return;
    }
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::OnTimer(UINT_PTR /*nIDEvent*/) {}

void CDialog::OnSysCommand(UINT nID, LPARAM /*lParam*/) {
    if ((nID & 0xFFF0) == SC_CLOSE) {
        SendMessage(WM_CLOSE);
    }
}

void CDialog::DoDataExchange(CDataExchange* /*pDX*/) {}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate) {
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

HWND CDialog::GetSafeHwnd() const {
    return m_pHost.get();
}

ui::Clock& CDialog::GetClock() const {
    return m_pHost ? m_pHost->GetClock() : ui::DefaultClock();
}

void CDialog::SetDlgItemText(int nID, std::string_view lpszString) {
    if (m_pHost) {
        m_pHost->SetControlText(nID, lpszString);
    }
}

std::string CDialog::GetDlgItemText(int nID) const {
    return m_pHost ? m_pHost->GetControlText(nID) : std::string();
}

UINT CDialog::GetDlgItemInt(int nID, BOOL* lpTrans, BOOL bSigned) const {
    UINT value = 0;
    const bool ok = m_pHost && m_pHost->HasControl(nID) &&
                    ui::ParseDlgItemInt(m_pHost->GetControlText(nID), bSigned != FALSE, &value);
    if (lpTrans != nullptr) {
        *lpTrans = ok ? TRUE : FALSE;
    }
    return ok ? value : 0;
}

void CDialog::CheckDlgButton(int nIDButton, UINT nCheck) {
    if (m_pHost) {
        m_pHost->SetChecked(nIDButton, nCheck == BST_CHECKED);
    }
}

UINT CDialog::IsDlgButtonChecked(int nIDButton) const {
    return m_pHost && m_pHost->IsChecked(nIDButton) ? BST_CHECKED : BST_UNCHECKED;
}

int CDialog::MessageBox(std::string_view lpszText, std::string_view lpszCaption, UINT nType) {
    std::string caption(lpszCaption);
    if (caption.empty()) {
        if (const ui::Application* app = ui::Application::Instance()) {
            caption = app->Title();
        }
    }
    if (m_pHost) {
        return m_pHost->MessageBox(lpszText, caption, nType);
    }
    // Without a window there is no box to show.
    return IDOK;
}

UINT_PTR CDialog::SetTimer(UINT_PTR nIDEvent, UINT nElapse, void* /*lpfnTimer*/) {
    if (!m_pHost) {
        return 0;
    }
    m_pHost->SetTimer(nIDEvent, std::chrono::milliseconds(std::max(nElapse, kMinimumTimerMs)));
    return nIDEvent;
}

BOOL CDialog::KillTimer(UINT_PTR nIDEvent) {
    return m_pHost && m_pHost->KillTimer(nIDEvent) ? TRUE : FALSE;
}

CMenu* CDialog::GetSystemMenu(BOOL /*bRevert*/) {
    if (!m_pHost) {
        return nullptr;
    }
    ui::SystemMenu* menu = m_pHost->GetSystemMenu();
    if (menu == nullptr) {
        return nullptr;
    }
    if (!m_pSysMenu) {
        m_pSysMenu = std::make_unique<CMenu>(menu);
    }
    return m_pSysMenu.get();
}

HICON CDialog::SetIcon(HICON hIcon, BOOL bBigIcon) {
    HICON& slot = bBigIcon ? m_hBigIcon : m_hSmallIcon;
    const HICON old = slot;
    slot = hIcon;
    if (m_pHost) {
        m_pHost->SetIcon(static_cast<int>(hIcon), bBigIcon != FALSE);
    }
    return old;
}

namespace ui {

std::string LoadString(UINT id) {
    const Application* app = Application::Instance();
    if (app == nullptr) {
        return {};
    }
    return std::string(app->Resources().FindString(static_cast<int>(id)));
}

bool ParseDlgItemInt(std::string_view text, bool isSigned, UINT* value) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    bool negative = false;
    if (!text.empty() && text.front() == '-') {
        if (!isSigned) {
            return false;
        }
        negative = true;
        text.remove_prefix(1);
    }
    if (text.empty() ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    std::uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) {
        return false;
    }
    if (isSigned) {
        const std::uint64_t limit =
            negative ? std::uint64_t{1} << 31
                     : static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
        if (magnitude > limit) {
            return false;
        }
        const auto signedValue =
            negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
        *value = static_cast<UINT>(static_cast<std::int32_t>(signedValue));
        return true;
    }
    if (magnitude > std::numeric_limits<UINT>::max()) {
        return false;
    }
    *value = static_cast<UINT>(magnitude);
    return true;
}

}  // namespace ui
