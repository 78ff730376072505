#pragma once
// The rows of a list control kept in memory: columns, rows of cells and
// per-row item data. The headless host shows nothing else; the Qt host keeps
// them as the truth behind its view.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ui/list_control.h"

namespace ui {

class ListRows final : public ListControl {
public:
    struct Column {
        std::string heading;
        int format = 0;
        int width = 0;
    };

    int InsertColumn(int column, std::string_view heading, int format, int width) override;
    int GetColumnCount() const override { return static_cast<int>(columns_.size()); }
    int InsertItem(int row, std::string_view text) override;
    bool SetItemText(int row, int column, std::string_view text) override;
    std::string GetItemText(int row, int column) const override;
    bool SetItemData(int row, std::uintptr_t data) override;
    std::uintptr_t GetItemData(int row) const override;
    int GetItemCount() const override { return static_cast<int>(rows_.size()); }
    bool DeleteAllItems() override;
    std::uint32_t GetExtendedStyle() const override { return extendedStyle_; }
    void SetExtendedStyle(std::uint32_t style) override { extendedStyle_ = style; }

    // For tests: what the operator would see.
    const std::vector<Column>& Columns() const { return columns_; }
    // All cells of a row; empty for a row that does not exist.
    std::vector<std::string> Row(int row) const;

private:
    struct Item {
        std::vector<std::string> cells;  // one per column
        std::uintptr_t data = 0;
    };

    bool HasCell(int row, int column) const;

    std::vector<Column> columns_;
    std::vector<Item> rows_;
    std::uint32_t extendedStyle_ = 0;
};

}  // namespace ui
