#pragma once
// A host's list control in report view: what CListCtrl needs of it. Rows and
// columns are counted from 0; out-of-range indexes are refused, never UB.

#include <cstdint>
#include <string>
#include <string_view>

namespace ui {

class ListControl {
public:
    // Inserts a column before `column` (appends past the end); its index, or -1.
    virtual int InsertColumn(int column, std::string_view heading, int format, int width) = 0;
    virtual int GetColumnCount() const = 0;
    // Inserts a row before `row` (appends past the end) with `text` in column
    // 0 and item data 0; its index, or -1 for a negative row.
    virtual int InsertItem(int row, std::string_view text) = 0;
    virtual bool SetItemText(int row, int column, std::string_view text) = 0;
    // Empty for a cell that does not exist.
    virtual std::string GetItemText(int row, int column) const = 0;
    virtual bool SetItemData(int row, std::uintptr_t data) = 0;
    // 0 for a row that does not exist.
    virtual std::uintptr_t GetItemData(int row) const = 0;
    virtual int GetItemCount() const = 0;
    virtual bool DeleteAllItems() = 0;
    virtual std::uint32_t GetExtendedStyle() const = 0;
    virtual void SetExtendedStyle(std::uint32_t style) = 0;

protected:
    ~ListControl() = default;
};

// A window's system menu, as far as a dialog extends it.
class SystemMenu {
public:
    // MF_SEPARATOR, or MF_STRING with a command id and its text.
    virtual bool AppendItem(unsigned flags, std::uintptr_t commandId, std::string_view text) = 0;

protected:
    ~SystemMenu() = default;
};

}  // namespace ui
