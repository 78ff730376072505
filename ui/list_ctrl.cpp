#include "ui/list_ctrl.h"

int CListCtrl::InsertColumn(int nCol, std::string_view lpszColumnHeading, int nFormat, int nWidth,
                            int /*nSubItem*/) {
    return m_pControl ? m_pControl->InsertColumn(nCol, lpszColumnHeading, nFormat, nWidth) : -1;
}

int CListCtrl::GetColumnCount() const {
    return m_pControl ? m_pControl->GetColumnCount() : 0;
}

int CListCtrl::InsertItem(int nItem, std::string_view lpszItem) {
    return m_pControl ? m_pControl->InsertItem(nItem, lpszItem) : -1;
}

BOOL CListCtrl::SetItemText(int nItem, int nSubItem, std::string_view lpszText) {
    return m_pControl && m_pControl->SetItemText(nItem, nSubItem, lpszText) ? TRUE : FALSE;
}

std::string CListCtrl::GetItemText(int nItem, int nSubItem) const {
    return m_pControl ? m_pControl->GetItemText(nItem, nSubItem) : std::string();
}

BOOL CListCtrl::SetItemData(int nItem, DWORD_PTR dwData) {
    return m_pControl && m_pControl->SetItemData(nItem, dwData) ? TRUE : FALSE;
}

DWORD_PTR CListCtrl::GetItemData(int nItem) const {
    return m_pControl ? m_pControl->GetItemData(nItem) : 0;
}

int CListCtrl::GetItemCount() const {
    return m_pControl ? m_pControl->GetItemCount() : 0;
}

BOOL CListCtrl::DeleteAllItems() {
    return m_pControl && m_pControl->DeleteAllItems() ? TRUE : FALSE;
}

DWORD CListCtrl::GetExtendedStyle() const {
    return m_pControl ? m_pControl->GetExtendedStyle() : 0;
}

DWORD CListCtrl::SetExtendedStyle(DWORD dwNewStyle) {
    if (!m_pControl) {
        return 0;
    }
    const DWORD old = m_pControl->GetExtendedStyle();
    m_pControl->SetExtendedStyle(dwNewStyle);
    return old;
}
