#pragma once
// CListCtrl: the dialog's handle on a list control in report view. It is
// attached to the host's control by DDX_Control and forgets it when the
// window goes; while detached every operation is a harmless no-op.

#include <cstdint>
#include <string>
#include <string_view>

#include "ui/afx.h"
#include "ui/list_control.h"

class CListCtrl {
public:
    CListCtrl() = default;
    CListCtrl(const CListCtrl&) = delete;
    CListCtrl& operator=(const CListCtrl&) = delete;

    void Attach(ui::ListControl* control) { m_pControl = control; }
    void Detach() { m_pControl = nullptr; }
    bool IsAttached() const { return m_pControl != nullptr; }

    // The index of the new column, or -1. nSubItem is accepted for the
    // familiar call shape; columns always show the subitem of their index.
    int InsertColumn(int nCol, std::string_view lpszColumnHeading, int nFormat = LVCFMT_LEFT,
                     int nWidth = -1, int nSubItem = -1);
    int GetColumnCount() const;
    int InsertItem(int nItem, std::string_view lpszItem);
    BOOL SetItemText(int nItem, int nSubItem, std::string_view lpszText);
    std::string GetItemText(int nItem, int nSubItem) const;
    BOOL SetItemData(int nItem, DWORD_PTR dwData);
    DWORD_PTR GetItemData(int nItem) const;
    int GetItemCount() const;
    BOOL DeleteAllItems();
    DWORD GetExtendedStyle() const;
    DWORD SetExtendedStyle(DWORD dwNewStyle);

private:
    ui::ListControl* m_pControl = nullptr;
};
